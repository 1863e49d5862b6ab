// Restart on request: the exit code with which an application asks to be started again, and
// how often it may be.
#ifndef CORVELA_RESTARTREQUEST_H
#define CORVELA_RESTARTREQUEST_H

#include <cstdint>
#include <deque>

class AppLauncher;
class CfgFile;

namespace RestartRequest {

// The exit code "app.restart-exit-code" in [Application] names, as the process reports it
// (Java's System.exit(-1) ends a Windows process with 4294967295). False without the key. A
// value that is not a whole number, or is 0 (the ordinary end), is an error naming the key
// and the configuration file `appLauncher` read it from.
bool exitCodeIn(const CfgFile& cfg, const AppLauncher& appLauncher, std::uint32_t& exitCode);

// At most `maxRestarts` restarts within any `windowMs`: an application that asks again and
// again (a broken update, a loop) ends with its last exit code instead of restarting forever.
class Budget {
public:
    static const unsigned maxRestarts = 3;
    static const std::uint64_t windowMs = 60000;

    // True, and counted, when a restart at `nowMs` (a monotonic clock) stays within it.
    bool take(std::uint64_t nowMs);

private:
    std::deque<std::uint64_t> restartTimesMs;
};

} // namespace RestartRequest

#endif

// The one host program this process runs: what Ctrl+C and the invocation interface act on.
#ifndef CORVELA_BRIDGE_ACTIVELAUNCH_H
#define CORVELA_BRIDGE_ACTIVELAUNCH_H

namespace bridge {

class HostJava;

namespace active {

// A launch begins; nothing runs yet.
void begin();
// The host program runs: a signal asked for before goes to it now.
void started(HostJava& program);
// The host program has ended; `program` is no longer used.
void ended();

bool running();

// Sends a signal ("INT", "TERM", ...) to the program, or once it has started.
void signal(const char* name);

// What an exit() found.
enum class ExitOutcome {
    Ended,
    NoneRunning,
    // Asked, but still running at the limit: a shutdown hook may hang.
    StillRunning,
};

// Ends the program with SIGTERM, which runs its shutdown hooks, and has the launch end with
// `status`. Returns once the program has ended, or once `limitMs` has passed without it.
ExitOutcome exit(int status, unsigned long limitMs);

// The status of an exit asked for during the last launch.
bool exitRequested(int& status);

} // namespace active
} // namespace bridge

#endif

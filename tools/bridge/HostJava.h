// The host's Java program for one launch: its run script, its live streams and its end.
#ifndef CORVELA_BRIDGE_HOSTJAVA_H
#define CORVELA_BRIDGE_HOSTJAVA_H

#include <map>
#include <memory>
#include <string>

#include "Channels.h"
#include "StreamRelay.h"
#include "UnixPaths.h"

namespace bridge {

// What the host's Java process cost, as its shell measured it.
struct HostTimes {
    bool known = false;
    double wallSeconds = 0;
    double userSeconds = 0;
    double systemSeconds = 0;
};

// Wine starts a Unix program but gives no handle that waits for it, nor its exit code, nor
// its standard error. So a bash script runs the program: it connects back to the bridge on
// the loopback interface for standard input, output and error and for a control line that
// reports the program's process id and, at the end, its times and exit status; the bridge
// sends signals for the program on it.
class HostJava {
public:
    // `command`: the program's command line as shell words.
    HostJava(const UnixPaths& paths, const std::string& command);
    ~HostJava();
    HostJava(const HostJava&) = delete;
    HostJava& operator=(const HostJava&) = delete;

    // Starts the program; returns once it runs. Its streams wait for relayStreams(), so
    // that the launch can count the program as running before anything it writes is seen.
    void start();
    // Copies the bridge's standard streams to and from the running program.
    void relayStreams();

    // Waits until the program has ended and everything it wrote is copied; its exit status.
    int wait();
    const HostTimes& times() const { return measured; }

    // Sends the signal named `name` ("INT", "TERM", ...) to the running program.
    void signal(const char* name);

private:
    std::string script(bool mergedOutput) const;
    void readReport();

    const UnixPaths& paths;
    const std::string command;
    Winsock winsock;
    Channels channels;
    std::wstring workDir;
    UniqueSocket control;
    std::map<std::string, UniqueSocket> streams;
    // The bridge's standard handles when the launch began.
    HANDLE inputSource = nullptr;
    HANDLE outputTarget = nullptr;
    HANDLE errorTarget = nullptr;
    bool merged = false;
    std::unique_ptr<OutputRelay> output;
    std::unique_ptr<OutputRelay> error;
    int status = -1;
    HostTimes measured;
};

} // namespace bridge

#endif

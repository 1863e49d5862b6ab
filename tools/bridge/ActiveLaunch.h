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

// Ends the program with SIGTERM, which runs its shutdown hooks, and has the launch end with
// `status`. Returns once the program has ended; false when none was running.
bool exit(int status);

// The status of an exit asked for during the last launch.
bool exitRequested(int& status);

} // namespace active
} // namespace bridge

#endif

// The one host program this process runs: what Ctrl+C and the invocation interface act on.
#include "ActiveLaunch.h"

#include <windows.h>

#include <string>

#include "HostJava.h"

namespace bridge {
namespace active {

namespace {

SRWLOCK lock = SRWLOCK_INIT;
HostJava* host = nullptr;
std::string pendingSignal;
bool exitAsked = false;
int exitStatus = 0;
// Set while no program runs. Made once and kept: a caller of exit() may wait on it while
// the next launch begins.
HANDLE idle = nullptr;

class Locked {
public:
    Locked() { AcquireSRWLockExclusive(&lock); }
    ~Locked() { ReleaseSRWLockExclusive(&lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

} // namespace

void begin() {
    Locked locked;
    if (!idle) {
        idle = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    }
    host = nullptr;
    pendingSignal.clear();
    exitAsked = false;
    ResetEvent(idle);
}

void started(HostJava& program) {
    Locked locked;
    host = &program;
    if (!pendingSignal.empty()) {
        host->signal(pendingSignal.c_str());
        pendingSignal.clear();
    }
}

void ended() {
    Locked locked;
    host = nullptr;
    SetEvent(idle);
}

bool running() {
    Locked locked;
    return host != nullptr;
}

void signal(const char* name) {
    Locked locked;
    if (!idle || WaitForSingleObject(idle, 0) == WAIT_OBJECT_0) {
        return;
    }
    if (host) {
        host->signal(name);
    } else {
        pendingSignal = name;
    }
}

ExitOutcome exit(int status, unsigned long limitMs) {
    {
        Locked locked;
        if (!host) {
            return ExitOutcome::NoneRunning;
        }
        exitAsked = true;
        exitStatus = status;
        host->signal("TERM");
    }
    return WaitForSingleObject(idle, limitMs) == WAIT_OBJECT_0 ? ExitOutcome::Ended
                                                                : ExitOutcome::StillRunning;
}

bool exitRequested(int& status) {
    Locked locked;
    status = exitStatus;
    return exitAsked;
}

} // namespace active
} // namespace bridge

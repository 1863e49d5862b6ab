// The one host program this process runs: what Ctrl+C and the invocation interface act on.
#include "ActiveLaunch.h"

#include <windows.h>

#include <string>

#include "HostJava.h"

namespace bridge {
namespace active {

namespace {

SRWLOCK lock = SRWLOCK_INIT;
unsigned long processId = 0;
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
    processId = 0;
    pendingSignal.clear();
    exitAsked = false;
    ResetEvent(idle);
}

void started(unsigned long pid) {
    std::string signal;
    {
        Locked locked;
        processId = pid;
        signal.swap(pendingSignal);
    }
    if (!signal.empty()) {
        sendSignal(pid, signal.c_str());
    }
}

void ended() {
    Locked locked;
    processId = 0;
    SetEvent(idle);
}

bool running() {
    Locked locked;
    return processId != 0;
}

void signal(const char* name) {
    unsigned long pid = 0;
    {
        Locked locked;
        if (!idle || WaitForSingleObject(idle, 0) == WAIT_OBJECT_0) {
            return;
        }
        pid = processId;
        if (!pid) {
            pendingSignal = name;
        }
    }
    if (pid) {
        sendSignal(pid, name);
    }
}

bool exit(int status) {
    unsigned long pid = 0;
    {
        Locked locked;
        pid = processId;
        if (pid) {
            exitAsked = true;
            exitStatus = status;
        }
    }
    if (!pid) {
        return false;
    }
    sendSignal(pid, "TERM");
    WaitForSingleObject(idle, INFINITE);
    return true;
}

bool exitRequested(int& status) {
    Locked locked;
    status = exitStatus;
    return exitAsked;
}

} // namespace active
} // namespace bridge

// Live copies between the bridge's standard streams and the host Java's connections.
#include "StreamRelay.h"

#include <winternl.h>

#include "Channels.h"

namespace bridge {

namespace {

// How long a copy whose connection is cut may take to end: only a write to a reader that has
// stopped reading holds it longer.
const DWORD cutCopyLimitMs = 5000;

bool usable(HANDLE h) {
    return h != nullptr && h != INVALID_HANDLE_VALUE;
}

bool isConsole(HANDLE h) {
    DWORD mode;
    return GetConsoleMode(h, &mode) != 0;
}

// Two handles to one kernel object, as a duplicated handle is.
bool sameObject(HANDLE a, HANDLE b) {
    typedef BOOL(WINAPI * CompareObjectHandlesFn)(HANDLE, HANDLE);
    const auto compare = reinterpret_cast<CompareObjectHandlesFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CompareObjectHandles")));
    return compare && compare(a, b);
}

// The file's index on its device. Wine gives each Unix descriptor it was started with a
// handle of its own, so a shell's "2>&1" arrives as two objects over one pipe: their
// index is the pipe's.
bool fileIndex(HANDLE h, LONGLONG& index) {
    typedef NTSTATUS(NTAPI * QueryInformationFileFn)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
    const auto query = reinterpret_cast<QueryInformationFileFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
    const ULONG fileInternalInformation = 6;
    IO_STATUS_BLOCK status = {};
    LARGE_INTEGER value = {};
    if (!query || query(h, &status, &value, sizeof(value), fileInternalInformation) != 0) {
        return false;
    }
    index = value.QuadPart;
    return index != 0;
}

struct InputRelay {
    HANDLE from;
    UniqueSocket to;
};

DWORD WINAPI copyInput(LPVOID param) {
    InputRelay* relay = static_cast<InputRelay*>(param);
    char buffer[4096];
    DWORD n = 0;
    while (usable(relay->from) && ReadFile(relay->from, buffer, sizeof(buffer), &n, nullptr) &&
           n > 0) {
        if (send(relay->to.get(), buffer, static_cast<int>(n), 0) != static_cast<int>(n)) {
            break;
        }
    }
    shutdown(relay->to.get(), SD_SEND);
    delete relay;
    return 0;
}

} // namespace

bool sameDestination(HANDLE a, HANDLE b) {
    if (!usable(a) || !usable(b)) {
        return false;
    }
    if (a == b || sameObject(a, b) || (isConsole(a) && isConsole(b))) {
        return true;
    }
    LONGLONG indexA = 0;
    LONGLONG indexB = 0;
    return GetFileType(a) == GetFileType(b) && fileIndex(a, indexA) && fileIndex(b, indexB) &&
           indexA == indexB;
}

// What a copy uses, shared by the relay and its thread: a thread left behind keeps it.
struct OutputRelay::Copy {
    UniqueSocket from;
    HANDLE to;
};

OutputRelay::OutputRelay(SOCKET from, HANDLE to) : copy(new Copy{UniqueSocket(from), to}) {
    std::shared_ptr<Copy>* threadShare = new std::shared_ptr<Copy>(copy);
    thread.reset(CreateThread(nullptr, 0, run, threadShare, 0, nullptr));
    if (!thread) {
        delete threadShare;
    }
}

OutputRelay::~OutputRelay() {
    finish(0);
}

void OutputRelay::finish(DWORD timeoutMs) {
    if (thread && WaitForSingleObject(thread.get(), timeoutMs) != WAIT_OBJECT_0) {
        shutdown(copy->from.get(), SD_BOTH);
        // No line says so: it could only go to a stream that takes no more.
        WaitForSingleObject(thread.get(), cutCopyLimitMs);
    }
    thread.reset();
}

DWORD WINAPI OutputRelay::run(LPVOID param) {
    const std::unique_ptr<std::shared_ptr<Copy>> share(static_cast<std::shared_ptr<Copy>*>(param));
    const Copy& copy = **share;
    const bool writable = usable(copy.to);
    char buffer[4096];
    int n;
    while ((n = recv(copy.from.get(), buffer, sizeof(buffer), 0)) > 0) {
        DWORD written = 0;
        if (writable) {
            WriteFile(copy.to, buffer, static_cast<DWORD>(n), &written, nullptr);
        }
    }
    return 0;
}

void startInputRelay(HANDLE from, SOCKET to) {
    InputRelay* relay = new InputRelay{from, UniqueSocket(to)};
    HANDLE thread = CreateThread(nullptr, 0, copyInput, relay, 0, nullptr);
    if (thread) {
        CloseHandle(thread);
    } else {
        shutdown(to, SD_SEND);
        delete relay;
    }
}

} // namespace bridge

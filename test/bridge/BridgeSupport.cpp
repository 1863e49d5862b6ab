// Bridge test support: images over the bridge runtime and the probe program, and a process
// whose streams a test talks to while it runs.
#include "BridgeSupport.h"

#include "LauncherImage.h"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>

namespace ts = testing_support;

namespace bridge_test {

namespace {

std::wstring buildDir() {
    const std::wstring bin = ts::binDir();
    return bin.substr(0, bin.find_last_of(L"\\/"));
}

// How long a dropped reader waits for its pipe to end: at once after a program has ended,
// but a process left running by a failed test may hold the write end for ever.
const DWORD endLimitMs = 10000;

HANDLE inheritableCopy(HANDLE h) {
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
    return copy;
}

} // namespace

std::wstring bridgeRuntimeDir() {
    return buildDir() + L"\\bridge\\runtime";
}

std::wstring probeJar() {
    return ts::binDir() + L"\\bridge-probe.jar";
}

std::wstring splashImage() {
    return ts::binDir() + L"\\bridge-splash.png";
}

BridgeImage::BridgeImage(const std::wstring& root, const std::wstring& name,
                         const std::wstring& launcher)
    : root(root), name(name) {
    ts::makeDirs(appDir());
    ts::copyFile(ts::binDir() + L"\\" + launcher, exe());
    ts::copyTree(bridgeRuntimeDir(), root + L"\\runtime");
    ts::copyFile(probeJar(), appDir() + L"\\probe.jar");
    cfg();
}

void BridgeImage::cfg(const std::string& more) const {
    ts::writeFile(appDir() + L"\\" + name + L".cfg",
                  "[Application]\napp.classpath=$APPDIR\\probe.jar\napp.mainclass=probe.Main\n" +
                      more);
}

std::wstring BridgeImage::pathListingAppDir() const {
    return ts::env(L"PATH") + L";" + ts::upper(appDir());
}

// What the reading thread shares with its reader, and keeps when it is left behind.
struct LineReader::Received {
    explicit Received(HANDLE pipe)
        : pipe(pipe), arrived(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
        InitializeCriticalSection(&lock);
    }
    ~Received() {
        DeleteCriticalSection(&lock);
        CloseHandle(arrived);
        CloseHandle(pipe);
    }
    Received(const Received&) = delete;
    Received& operator=(const Received&) = delete;

    const HANDLE pipe;
    const HANDLE arrived;
    CRITICAL_SECTION lock;
    std::string data;
    bool ended = false;
};

LineReader::LineReader(HANDLE pipe) : received(std::make_shared<Received>(pipe)) {
    std::shared_ptr<Received>* threadShare = new std::shared_ptr<Received>(received);
    thread = CreateThread(nullptr, 0, collect, threadShare, 0, nullptr);
    if (!thread) {
        delete threadShare;
        throw std::runtime_error("cannot start a thread to read a pipe");
    }
}

LineReader::~LineReader() {
    if (!waitForEnd(endLimitMs)) {
        fprintf(stderr,
                "[LineReader] the pipe had not ended %lu s after its reader was dropped: some "
                "process still holds its write end; its thread is left behind\n",
                endLimitMs / 1000);
    }
    CloseHandle(thread);
}

DWORD WINAPI LineReader::collect(LPVOID param) {
    const std::unique_ptr<std::shared_ptr<Received>> share(
        static_cast<std::shared_ptr<Received>*>(param));
    Received& received = **share;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(received.pipe, buffer, sizeof(buffer), &n, nullptr) && n > 0) {
        EnterCriticalSection(&received.lock);
        received.data.append(buffer, n);
        LeaveCriticalSection(&received.lock);
        SetEvent(received.arrived);
    }
    EnterCriticalSection(&received.lock);
    received.ended = true;
    LeaveCriticalSection(&received.lock);
    SetEvent(received.arrived);
    return 0;
}

std::string LineReader::nextLine(DWORD guardMs) {
    const ULONGLONG deadline = GetTickCount64() + guardMs;
    for (;;) {
        EnterCriticalSection(&received->lock);
        const std::string& data = received->data;
        const size_t end = data.find('\n', cursor);
        const bool found = end != std::string::npos || received->ended;
        std::string line;
        if (found) {
            line = data.substr(cursor, end == std::string::npos ? std::string::npos : end - cursor);
            cursor = end == std::string::npos ? data.size() : end + 1;
        }
        LeaveCriticalSection(&received->lock);
        if (found) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return line;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline || WaitForSingleObject(received->arrived,
                                                   static_cast<DWORD>(deadline - now)) !=
                                   WAIT_OBJECT_0) {
            return "<nothing within the time>";
        }
    }
}

bool LineReader::waitForEnd(DWORD guardMs) {
    return WaitForSingleObject(thread, guardMs) == WAIT_OBJECT_0;
}

std::string LineReader::all() {
    EnterCriticalSection(&received->lock);
    const std::string copy = received->data;
    LeaveCriticalSection(&received->lock);
    return copy;
}

LiveProcess::LiveProcess(const std::wstring& exe, const std::wstring& args,
                         const Options& options) {
    SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite, inRead;
    if (!CreatePipe(&outRead, &outWrite, &inheritable, 0) ||
        !CreatePipe(&errRead, &errWrite, &inheritable, 0) ||
        !CreatePipe(&inRead, &input, &inheritable, 0)) {
        throw std::runtime_error("CreatePipe failed");
    }
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(input, HANDLE_FLAG_INHERIT, 0);
    if (options.oneOutputPipe) {
        // As cmd's "2>&1" does: a second handle to the same pipe.
        CloseHandle(errWrite);
        errWrite = inheritableCopy(outWrite);
    }
    for (const auto& toConsole : {std::make_pair(options.outputToConsole, &outWrite),
                                  std::make_pair(options.errorToConsole, &errWrite)}) {
        if (toConsole.first) {
            CloseHandle(*toConsole.second);
            *toConsole.second = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                            OPEN_EXISTING, 0, nullptr);
        }
    }
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = options.inheritInput ? GetStdHandle(STD_INPUT_HANDLE) : inRead;
    si.hStdOutput = outWrite;
    si.hStdError = errWrite;
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = L"\"" + exe + L"\"" + (args.empty() ? L"" : L" " + args);
    const BOOL created =
        CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    // Taken before the handles are closed; the code tells Wine's own failures (1359), which
    // scripts/test runs again, from a real one.
    const DWORD createError = created ? ERROR_SUCCESS : GetLastError();
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    CloseHandle(inRead);
    out.reset(new LineReader(outRead));
    err.reset(new LineReader(errRead));
    if (!created) {
        closeInput();
        throw std::runtime_error("cannot start " + ts::utf8(exe) + " (error " +
                                 std::to_string(createError) + ")");
    }
    CloseHandle(pi.hThread);
    processHandle = pi.hProcess;
}

LiveProcess::~LiveProcess() {
    closeInput();
    if (processHandle) {
        if (WaitForSingleObject(processHandle, 0) != WAIT_OBJECT_0) {
            TerminateProcess(processHandle, 999);
        }
        CloseHandle(processHandle);
    }
}

void LiveProcess::write(const std::string& text) {
    DWORD written = 0;
    WriteFile(input, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void LiveProcess::closeInput() {
    if (input) {
        CloseHandle(input);
        input = nullptr;
    }
}

DWORD LiveProcess::wait(DWORD guardMs) {
    closeInput();
    if (WaitForSingleObject(processHandle, guardMs) != WAIT_OBJECT_0) {
        TerminateProcess(processHandle, 999);
        WaitForSingleObject(processHandle, INFINITE);
    }
    DWORD code = 0;
    GetExitCodeProcess(processHandle, &code);
    out->waitForEnd(guardMs);
    err->waitForEnd(guardMs);
    return code;
}

} // namespace bridge_test

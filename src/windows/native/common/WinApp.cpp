// Windows half of app.h: the console for the GUI launcher's trace, and the message box.
#include <windows.h>

#include <cstdio>
#include <io.h>
#include <memory>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "SysInfo.h"
#include "WindowsSupport.h"
#include "app.h"
#include "tstrings.h"

namespace {

// A standard handle that leads somewhere: a file, a pipe or a console the launcher was given.
bool leadsSomewhere(DWORD which) {
    const HANDLE handle = GetStdHandle(which);
    return handle && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

// One standard stream that led nowhere, sent to the console while the channel lives: the C
// runtime's stream and the process's standard handle both, so that what the C runtime writes
// and what is written to the handle (StandardError, the JVM) reach it alike.
class ConsoleChannel {
public:
    ConsoleChannel(FILE* stream, DWORD which) : which(which), saved(GetStdHandle(which)) {
        // The result is not checked: without a console device the C runtime keeps whatever
        // it can, and printed records go to the unchanged stream.
        FILE* reopenedStream = nullptr;
        freopen_s(&reopenedStream, "CONOUT$", "w", stream);
        reopened.reset(reopenedStream);
        const int fd = reopened ? _fileno(reopened.get()) : -1;
        if (fd >= 0) {
            SetStdHandle(which, reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
        }
    }

    ~ConsoleChannel() { SetStdHandle(which, saved); }

    ConsoleChannel(const ConsoleChannel&) = delete;
    ConsoleChannel& operator=(const ConsoleChannel&) = delete;

private:
    const DWORD which;
    const HANDLE saved;
    UniqueFile reopened;
};

// The console of the GUI launcher's trace. Standard handles that lead somewhere stay as they
// are: started with standard error in a file or a pipe, the trace and the error line go
// there. Only when a stream leads nowhere (double-clicked, or started from a console that
// gives a GUI program no handles) does the launcher take its parent's console, or a new one.
class TraceConsole {
public:
    TraceConsole() {
        const bool outMissing = !leadsSomewhere(STD_OUTPUT_HANDLE);
        const bool errMissing = !leadsSomewhere(STD_ERROR_HANDLE);
        if (!outMissing && !errMissing) {
            return;
        }
        const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
        // Both fail with ERROR_ACCESS_DENIED when the launcher has a console already (Wine
        // gives a GUI program its parent's).
        if (!AttachConsole(ATTACH_PARENT_PROCESS) && !AllocConsole() &&
            GetLastError() != ERROR_ACCESS_DENIED) {
            return;
        }
        // Taking a console may replace every standard handle: give back those that led
        // somewhere.
        if (outMissing) {
            this->out.reset(new ConsoleChannel(stdout, STD_OUTPUT_HANDLE));
        } else {
            SetStdHandle(STD_OUTPUT_HANDLE, out);
        }
        if (errMissing) {
            this->err.reset(new ConsoleChannel(stderr, STD_ERROR_HANDLE));
        } else {
            SetStdHandle(STD_ERROR_HANDLE, err);
        }
    }

    TraceConsole(const TraceConsole&) = delete;
    TraceConsole& operator=(const TraceConsole&) = delete;

private:
    // Standard error's channel goes first.
    std::unique_ptr<ConsoleChannel> out;
    std::unique_ptr<ConsoleChannel> err;
};

// The box must appear even when the failure being shown is that the launcher could not work
// out its own path.
tstring caption() {
    try {
        return FileUtils::basename(SysInfo::getProcessModulePath());
    } catch (const std::exception&) {
        wchar_t path[MAX_PATH] = L"";
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        return FileUtils::basename(path);
    }
}

void showMessageBox(const std::string& message) {
    MessageBoxW(nullptr, tstrings::fromUtf8(message).c_str(), caption().c_str(), MB_ICONERROR);
}

} // namespace

namespace app {

int wlaunch(const std::nothrow_t& tag, LaunchFunc launchFunc) {
    std::unique_ptr<TraceConsole> console;
    try {
        if (debugSwitchOn()) {
            console.reset(new TraceConsole());
        }
    }
    CATCH_AND_LOG
    return launch(tag, launchFunc, showMessageBox);
}

} // namespace app

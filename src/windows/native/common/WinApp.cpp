// Windows half of app.h: the console for the GUI launcher's trace, and the message box.
#include <windows.h>

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

// One standard handle that led nowhere, sent to the console while the channel lives. The
// handle, not the C runtime's stream: standard error is written through the handle
// (StandardError), and so does the JVM; the C runtime cannot reopen a stream it started
// without. Read access too: without it the handle is not known for a console.
class ConsoleChannel {
public:
    explicit ConsoleChannel(DWORD which) : which(which), saved(GetStdHandle(which)) {
        console.reset(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
        if (console) {
            SetStdHandle(which, console.get());
        }
    }

    ~ConsoleChannel() { SetStdHandle(which, saved); }

    ConsoleChannel(const ConsoleChannel&) = delete;
    ConsoleChannel& operator=(const ConsoleChannel&) = delete;

private:
    const DWORD which;
    const HANDLE saved;
    UniqueFileHandle console;
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
        const HANDLE givenOut = GetStdHandle(STD_OUTPUT_HANDLE);
        const HANDLE givenErr = GetStdHandle(STD_ERROR_HANDLE);
        // Both fail with ERROR_ACCESS_DENIED when the launcher has a console already (Wine
        // gives a GUI program its parent's).
        if (!AttachConsole(ATTACH_PARENT_PROCESS) && !AllocConsole() &&
            GetLastError() != ERROR_ACCESS_DENIED) {
            return;
        }
        // Taking a console may replace every standard handle: give back those that led
        // somewhere.
        if (outMissing) {
            out.reset(new ConsoleChannel(STD_OUTPUT_HANDLE));
        } else {
            SetStdHandle(STD_OUTPUT_HANDLE, givenOut);
        }
        if (errMissing) {
            err.reset(new ConsoleChannel(STD_ERROR_HANDLE));
        } else {
            SetStdHandle(STD_ERROR_HANDLE, givenErr);
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

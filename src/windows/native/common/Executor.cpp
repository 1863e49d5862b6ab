// Process executor: starts a child with quoted arguments and waits for its exit code.
#include "Executor.h"

#include <vector>

#include "ErrorHandling.h"
#include "Log.h"

namespace {

// A standard handle made inheritable, so that a child started with inheritance gets it. A
// handle that cannot be changed (an old console's pseudo-handle) is passed as it is: such
// handles reach the child anyway.
HANDLE inheritableStandardHandle(DWORD which) {
    const HANDLE handle = GetStdHandle(which);
    if (handle && handle != INVALID_HANDLE_VALUE) {
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    return handle;
}

} // namespace

tstring quoteCommandLineArgument(const tstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == tstring::npos) {
        return arg;
    }
    // The rules of CommandLineToArgvW: backslashes are literal unless a run of them
    // stands before a double quote, where each one must be doubled and the quote escaped.
    tstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            quoted.append(backslashes * 2 + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        backslashes = 0;
        quoted.push_back(c);
    }
    // The closing quote follows: the trailing run is doubled so that it stays literal.
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

tstring Executor::commandLine() const {
    tstring_array items;
    items.reserve(args.size() + 1);
    items.push_back(executable);
    for (const tstring& arg : args) {
        items.push_back(quoteCommandLineArgument(arg));
    }
    // The program name is read by different rules: no escapes, only an enclosing pair
    // of quotes, and a path cannot hold a double quote anyway.
    if (items[0].empty() || items[0].find_first_of(L" \t") != tstring::npos) {
        items[0] = L"\"" + items[0] + L"\"";
    }
    return tstrings::join(items, L' ');
}

UniqueHandle Executor::startProcess(UniqueHandle* threadHandle) const {
    const tstring cmdline = commandLine();
    std::vector<wchar_t> writableCmdline(cmdline.begin(), cmdline.end());
    writableCmdline.push_back(L'\0');

    STARTUPINFOW startupInfo = {};
    startupInfo.cb = sizeof(startupInfo);
    PROCESS_INFORMATION processInfo = {};

    DWORD creationFlags = 0;
    if (theSuspended) {
        creationFlags |= CREATE_SUSPENDED;
    }
    if (!theVisible) {
        creationFlags |= CREATE_NO_WINDOW;
        startupInfo.wShowWindow = SW_HIDE;
        startupInfo.dwFlags |= STARTF_USESHOWWINDOW;
    }
    if (theStandardHandles) {
        startupInfo.dwFlags |= STARTF_USESTDHANDLES;
        startupInfo.hStdInput = inheritableStandardHandle(STD_INPUT_HANDLE);
        startupInfo.hStdOutput = inheritableStandardHandle(STD_OUTPUT_HANDLE);
        startupInfo.hStdError = inheritableStandardHandle(STD_ERROR_HANDLE);
    }

    tstrings::Builder trace;
    trace << L"CreateProcess";
    if (theSuspended) {
        trace << L"[suspended]";
    }
    if (theVisible) {
        trace << L"[visible]";
    }
    if (theInherit) {
        trace << L"[inherit]";
    }
    trace << L"(" << executable << L", " << cmdline << L")";

    if (!CreateProcessW(executable.c_str(), writableCmdline.data(), nullptr, nullptr,
                        theInherit ? TRUE : FALSE, creationFlags, nullptr, nullptr, &startupInfo,
                        &processInfo)) {
        const DWORD error = GetLastError();
        trace << L" failed";
        THROW_SYSTEM_ERROR_CODE(error, &CreateProcessW, trace.tstr());
    }
    UniqueHandle process(processInfo.hProcess);
    UniqueHandle thread(processInfo.hThread);

    trace << L" succeeded; PID=" << processInfo.dwProcessId;
    LOG_TRACE(trace.tstr());

    if (threadHandle) {
        *threadHandle = std::move(thread);
    }

    if (theJob) {
        LOG_TRACE(L"AssignProcessToJobObject(PID=" << processInfo.dwProcessId << L")");
        if (!AssignProcessToJobObject(theJob, process.get())) {
            const DWORD error = GetLastError();
            // The child is outside the job that would end it with us; a suspended child that
            // nobody resumes or ends would stay behind for good.
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), INFINITE);
            THROW_SYSTEM_ERROR_CODE(error, &AssignProcessToJobObject,
                                    L"AssignProcessToJobObject() failed");
        }
    }
    return process;
}

DWORD Executor::execAndWaitForExit() const {
    UniqueHandle thread;
    const UniqueHandle process = startProcess(&thread);

    if (theSuspended) {
        LOG_TRACE(L"ResumeThread()");
        if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
            THROW_LAST_ERROR(&ResumeThread, L"ResumeThread() failed");
        }
    }
    if (WaitForSingleObject(process.get(), INFINITE) == WAIT_FAILED) {
        THROW_LAST_ERROR(&WaitForSingleObject, L"WaitForSingleObject() failed");
    }
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process.get(), &exitCode)) {
        THROW_LAST_ERROR(&GetExitCodeProcess, L"GetExitCodeProcess() failed");
    }
    const DWORD pid = GetProcessId(process.get());
    if (pid == 0) {
        THROW_LAST_ERROR(&GetProcessId, L"GetProcessId() failed.");
    }
    LOG_TRACE(L"Process with PID=" << pid << L" terminated. Exit code=" << exitCode);
    return exitCode;
}

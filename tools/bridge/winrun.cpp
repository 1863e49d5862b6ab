// winrun PROGRAM [ARGS...]: runs a Windows program with its standard output and error
// relayed through pipes, and exits with its exit code. Started from a Unix shell under
// Wine, a GUI program that attaches a console loses what it prints; started from this
// console program, its output arrives.

#include <windows.h>

#include <shellapi.h>

#include <string>

namespace {

struct Relay {
    HANDLE from;
    HANDLE to;
};

DWORD WINAPI relay(LPVOID param) {
    const Relay* r = static_cast<const Relay*>(param);
    char buffer[4096];
    DWORD n;
    while (ReadFile(r->from, buffer, sizeof(buffer), &n, nullptr) && n > 0) {
        DWORD written;
        WriteFile(r->to, buffer, n, &written, nullptr);
    }
    return 0;
}

} // namespace

int wmain() {
    // Everything after our own name, as typed.
    const wchar_t* cmd = GetCommandLineW();
    bool quoted = false;
    while (*cmd && (quoted || (*cmd != L' ' && *cmd != L'\t'))) {
        if (*cmd == L'"') {
            quoted = !quoted;
        }
        ++cmd;
    }
    while (*cmd == L' ' || *cmd == L'\t') {
        ++cmd;
    }
    if (!*cmd) {
        return 2;
    }
    std::wstring commandLine = cmd;

    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    CreatePipe(&outRead, &outWrite, &inheritable, 0);
    CreatePipe(&errRead, &errWrite, &inheritable, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = outWrite;
    si.hStdError = errWrite;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                        &pi)) {
        return 2;
    }
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    Relay out = {outRead, GetStdHandle(STD_OUTPUT_HANDLE)};
    Relay err = {errRead, GetStdHandle(STD_ERROR_HANDLE)};
    HANDLE threads[2] = {CreateThread(nullptr, 0, relay, &out, 0, nullptr),
                         CreateThread(nullptr, 0, relay, &err, 0, nullptr)};
    WaitForSingleObject(pi.hProcess, INFINITE);
    WaitForMultipleObjects(2, threads, TRUE, 10000);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(threads[0]);
    CloseHandle(threads[1]);
    CloseHandle(outRead);
    CloseHandle(errRead);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}

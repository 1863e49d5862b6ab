// What the console probes share: this process on its terminal's console, alive through the
// Ctrl+C and Ctrl+Break it sends, and programs it starts on that same console.
#ifndef CORVELA_TEST_CONSOLEPROBE_H
#define CORVELA_TEST_CONSOLEPROBE_H

#include <windows.h>

#include <cstdio>
#include <string>

namespace testing_support {

inline BOOL WINAPI surviveCtrlC(DWORD event) {
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
}

// Attaches to the parent's console unless this process has one. With `surviving`, this
// process lives on through the Ctrl+C and Ctrl+Break it sends to its own process group.
// False, with a FAIL line on standard output, when there is no console to attach to.
inline bool joinConsole(bool surviving = true) {
    if (!GetConsoleWindow() && !AttachConsole(ATTACH_PARENT_PROCESS)) {
        printf("FAIL: no console; run with a terminal as standard input\n");
        return false;
    }
    if (surviving) {
        SetConsoleCtrlHandler(surviveCtrlC, TRUE);
    }
    return true;
}

// Starts `exe`, without arguments, on this console and in this process group; its process
// handle, or null when it cannot be started.
inline HANDLE startOnThisConsole(const std::wstring& exe) {
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = L"\"" + exe + L"\"";
    if (!CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
        return nullptr;
    }
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

} // namespace testing_support

#endif

// Starts a launcher image that fails (no configuration file), finds its message box by
// process and caption, reads the box's text, closes it with OK, and checks the text and the exit
// code. The image lies under Cyrillic and CJK names, which the box must show as they are. Then the
// console launcher fails the same way: one line on standard error, and no window, which on a
// display would hold the process until someone closed it. Needs a display (run under xvfb-run).
// Exits 0 when everything matched.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "TestSupport.h"

namespace ts = testing_support;

namespace {

// A window of the launcher's own process: other tests' launchers have the same name.
struct Search {
    std::wstring caption;
    DWORD pid = 0;
    HWND box = nullptr;
};

BOOL CALLBACK findBox(HWND window, LPARAM param) {
    Search* search = reinterpret_cast<Search*>(param);
    wchar_t title[512] = L"";
    GetWindowTextW(window, title, 512);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == search->pid && search->caption == title && IsWindowVisible(window)) {
        search->box = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK findText(HWND child, LPARAM param) {
    wchar_t cls[64] = L"";
    GetClassNameW(child, cls, 64);
    if (lstrcmpiW(cls, L"Static") == 0) {
        wchar_t text[2048] = L"";
        GetWindowTextW(child, text, 2048);
        if (text[0]) {
            *reinterpret_cast<std::wstring*>(param) = text;
            return FALSE;
        }
    }
    return TRUE;
}

int checkConsoleLauncher(const std::wstring& root, const std::string& expected) {
    ts::makeDirs(root + L"\\app");
    const std::wstring exe = root + L"\\Demo.exe";
    ts::copyFile(ts::binDir() + L"\\corvela-console.exe", exe);
    ts::ProcessResult r = ts::run(exe, L"\"" + exe + L"\"", {{L"CORVELA_DEBUG", L"false"}}, 30000);
    r.err.erase(std::remove(r.err.begin(), r.err.end(), '\r'), r.err.end());
    printf("console launcher: exit code %lu, standard error: %s", r.exitCode, r.err.c_str());
    if (r.exitCode != 1 || r.err != expected + "\n") {
        printf("FAIL: expected exit code 1 and the one line \"%s\"; a window would have held "
               "the launcher until it was killed\n",
               expected.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int wmain() {
    ts::TempDir dir(L"msgbox");
    const std::wstring root = dir / L"\u0422\u0435\u0441\u0442 \u5e94\u7528";
    ts::makeDirs(root + L"\\app");
    const std::wstring exe = root + L"\\Demo.exe";
    ts::copyFile(ts::binDir() + L"\\corvela.exe", exe);
    const std::string expected =
        "Error opening \"" + ts::utf8(root) + "\\app\\Demo.cfg\" file: No such file or directory";

    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = L"\"" + exe + L"\"";
    if (!CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
        printf("FAIL: cannot start the launcher\n");
        return 1;
    }
    Search search;
    search.caption = L"Demo.exe";
    search.pid = pi.dwProcessId;
    // The box's own message loop is the first time the failing launcher waits for input.
    if (WaitForInputIdle(pi.hProcess, 30000) == 0) {
        EnumWindows(findBox, reinterpret_cast<LPARAM>(&search));
    }
    int failures = 0;
    if (!search.box) {
        printf("FAIL: no window captioned Demo.exe appeared\n");
        TerminateProcess(pi.hProcess, 99);
        ++failures;
    } else {
        std::wstring text;
        EnumChildWindows(search.box, findText, reinterpret_cast<LPARAM>(&text));
        printf("box text: %s\n", ts::utf8(text).c_str());
        if (ts::utf8(text) != expected) {
            printf("FAIL: expected box text: %s\n", expected.c_str());
            ++failures;
        }
        PostMessageW(search.box, WM_COMMAND, IDOK, 0);
    }
    if (WaitForSingleObject(pi.hProcess, 30000) != WAIT_OBJECT_0) {
        printf("FAIL: the launcher did not end after its box was closed\n");
        TerminateProcess(pi.hProcess, 99);
        ++failures;
    }
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    printf("launcher exit code: %lu\n", code);
    if (code != 1) {
        printf("FAIL: expected exit code 1\n");
        ++failures;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    const std::wstring consoleRoot = dir / L"\u041a\u043e\u043d\u0441\u043e\u043b\u044c";
    failures += checkConsoleLauncher(consoleRoot, "Error opening \"" + ts::utf8(consoleRoot) +
                                                      "\\app\\Demo.cfg\" file: No such file or "
                                                      "directory");
    printf(failures ? "message box test failed\n" : "message box test passed\n");
    return failures ? 1 : 0;
}

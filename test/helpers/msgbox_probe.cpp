// Starts a launcher image that fails (no configuration file), finds its message box by
// process and caption, reads the box's text, closes it with OK, and checks the text and the exit
// code. The image lies under Cyrillic and CJK names, which the box must show as they are. Then an
// installed image fails on its user's options file: the box names file and line, and the
// package's log records the same text. Then the console launcher fails the same way: one line on
// standard error, and no window, which on a display would hold the process until someone closed
// it. Needs a display (run under xvfb-run). Exits 0 when everything matched.

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

// Starts the GUI launcher at `exe`, finds its box, checks its text and the exit code.
int checkBox(const std::wstring& exe, const std::string& expected) {
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
    return failures;
}

// An installed image whose user's options file holds a line that would replace the
// application: the box names the file and the line, and the package's log keeps the text.
int checkRefusedUserOption(const std::wstring& root) {
    ts::makeDirs(root + L"\\app");
    const std::wstring exe = root + L"\\Demo.exe";
    ts::copyFile(ts::binDir() + L"\\corvela.exe", exe);
    ts::writeFile(root + L"\\app\\Demo.cfg", "[Application]\napp.mainclass=M\n");
    ts::writeFile(root + L"\\app\\.package", "Pkg\n");
    const std::wstring local = root + L"\\local";
    ts::makeDirs(local + L"\\Pkg");
    const std::wstring options = local + L"\\Pkg\\Demo.vmoptions";
    ts::writeFile(options, "-Xmx1g\n-jar other.jar\n");
    const std::string expected = "Error in the user JVM options file \"" + ts::utf8(options) +
                                 "\" at line 2: \"-jar other.jar\" is not allowed here: -jar, "
                                 "-cp, -classpath, --class-path, -p, --module-path, -m, --module "
                                 "and -splash: belong to the application's own configuration";
    int failures = 0;
    {
        ts::ScopedEnv localAppData(L"LOCALAPPDATA", local);
        failures += checkBox(exe, expected);
    }
    const std::string log = ts::readFile(local + L"\\Pkg\\logs\\launcher.log");
    printf("launcher.log: %s", log.c_str());
    const std::string recorded = " Demo.exe (PID ";
    if (log.find(recorded) == std::string::npos ||
        log.find(") error: " + expected + "\r\n") == std::string::npos) {
        printf("FAIL: expected the box's text in the package's launcher.log\n");
        ++failures;
    }
    return failures;
}

} // namespace

int wmain() {
    ts::TempDir dir(L"msgbox");
    const std::wstring root = dir / L"\u0422\u0435\u0441\u0442 \u5e94\u7528";
    ts::makeDirs(root + L"\\app");
    const std::wstring exe = root + L"\\Demo.exe";
    ts::copyFile(ts::binDir() + L"\\corvela.exe", exe);
    int failures = checkBox(exe, "Error opening \"" + ts::utf8(root) +
                                     "\\app\\Demo.cfg\" file: No such file or directory");
    failures += checkRefusedUserOption(dir / L"\u041e\u043f\u0446\u0438\u0438");
    const std::wstring consoleRoot = dir / L"\u041a\u043e\u043d\u0441\u043e\u043b\u044c";
    failures += checkConsoleLauncher(consoleRoot, "Error opening \"" + ts::utf8(consoleRoot) +
                                                      "\\app\\Demo.cfg\" file: No such file or "
                                                      "directory");
    printf(failures ? "message box test failed\n" : "message box test passed\n");
    return failures ? 1 : 0;
}

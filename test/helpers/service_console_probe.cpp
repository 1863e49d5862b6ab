// The service launcher started from a console: the server runs in the foreground with its
// output on the launcher's standard output, and Ctrl+C ends it as a stop does, through its
// shutdown hook, with exit code 0. Needs a console: run it with a terminal as standard input.
// Exits 0 when everything matched.

#include <windows.h>

#include <cstdio>
#include <string>

#include "ConsoleProbe.h"
#include "LauncherImage.h"
#include "TestSupport.h"

namespace ts = testing_support;

namespace {

// Starts the launcher on this console with its standard output in `output`.
HANDLE start(const ts::Image& image, const std::wstring& output) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    const HANDLE file = CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = file;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = L"\"" + image.exe() + L"\"";
    const BOOL started = CreateProcessW(image.exe().c_str(), &cmd[0], nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &si, &pi);
    CloseHandle(file);
    if (!started) {
        return nullptr;
    }
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

} // namespace

int wmain() {
    if (!ts::joinConsole()) {
        return 1;
    }
    ts::TempDir dir(L"svcconsole");
    ts::Image image(dir / L"Server", L"Server", L"corvela-service.exe");
    image.runtime(L"server_jli.dll", L"jli.dll");
    image.runtime(L"server_jvm.dll", L"server\\jvm.dll");
    image.cfg("[Application]\napp.mainclass=server.Main\n[JavaOptions]\n"
              "java-options=-Dstandin.stop=hook\n");
    ts::ScopedEnv debug(L"CORVELA_DEBUG", L"false");
    const std::wstring output = dir / L"out.txt";
    const HANDLE launcher = start(image, output);
    if (!launcher) {
        printf("FAIL: cannot start the service launcher\n");
        return 1;
    }
    // The server counts as running once it has said it started: the output file is read
    // again at each change of its directory.
    const HANDLE changes =
        FindFirstChangeNotificationW(dir.path().c_str(), FALSE, FILE_NOTIFY_CHANGE_LAST_WRITE |
                                                                   FILE_NOTIFY_CHANGE_SIZE);
    bool ready = false;
    while (!(ready = ts::readFile(output).find("server started\n") != std::string::npos) &&
           changes != INVALID_HANDLE_VALUE &&
           WaitForSingleObject(changes, 30000) == WAIT_OBJECT_0 &&
           FindNextChangeNotification(changes)) {
    }
    if (changes != INVALID_HANDLE_VALUE) {
        FindCloseChangeNotification(changes);
    }
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    int failures = ready ? 0 : 1;
    if (WaitForSingleObject(launcher, 30000) != WAIT_OBJECT_0) {
        printf("FAIL: the service launcher is still running after Ctrl+C\n");
        TerminateProcess(launcher, 99);
        ++failures;
    }
    DWORD code = 0;
    GetExitCodeProcess(launcher, &code);
    CloseHandle(launcher);
    const std::string out = ts::readFile(output);
    printf("exit code %lu, output [%s]\n", code, out.c_str());
    if (code != 0 || out != "server started\nshutdown hook ran\n") {
        printf("FAIL: expected the shutdown hook's line and exit code 0 after Ctrl+C\n");
        ++failures;
    }
    printf(failures ? "Service console test failed\n" : "Service console test passed\n");
    return failures ? 1 : 0;
}

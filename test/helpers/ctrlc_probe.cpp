// Raises Ctrl+C on the console it shares with a console launcher, as a user at the keyboard
// would, and checks that the application decides: a stand-in that ends with 130 on Ctrl+C
// (as the JVM does) makes the launcher end with 130, in process and through the restart.
// Needs a console: run it with a terminal as standard input (Wine then gives it a console
// that its children share). Exits 0 when everything matched.

#include <windows.h>

#include <cstdio>
#include <string>

#include "ConsoleProbe.h"
#include "LauncherImage.h"
#include "TestSupport.h"

namespace ts = testing_support;

namespace {

int check(const ts::Image& image, bool inProcess) {
    const char* path = inProcess ? "in process" : "restart";
    DeleteFileW(image.recordPath().c_str());
    ts::ScopedEnv pathVar(L"PATH", inProcess ? image.pathListingAppDir() : ts::env(L"PATH"));
    const ts::NamedEvent running;
    ts::ScopedEnv readyEvent(L"STANDIN_READY_EVENT", running.name());
    const HANDLE launcher = ts::startOnThisConsole(image.exe());
    if (!launcher) {
        printf("FAIL (%s): cannot start the launcher\n", path);
        return 1;
    }
    // Set once the application's handler is in place.
    const bool ready = running.waitFor(30000) &&
                       ts::Record::read(image.recordPath()).get("ctrl_handler") == "installed";
    int failures = 0;
    if (!ready) {
        printf("FAIL (%s): the application never got ready\n", path);
        ++failures;
    }
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    if (WaitForSingleObject(launcher, 30000) != WAIT_OBJECT_0) {
        printf("FAIL (%s): the launcher is still running after Ctrl+C\n", path);
        TerminateProcess(launcher, 99);
        ++failures;
    }
    DWORD code = 0;
    GetExitCodeProcess(launcher, &code);
    CloseHandle(launcher);
    const std::string seen = ts::Record::read(image.recordPath()).get("ctrl");
    printf("%s: exit code %lu, the application saw Ctrl+%s\n", path, code,
           seen.empty() ? "nothing" : seen.c_str());
    if (code != 130 || seen != "c") {
        printf("FAIL (%s): expected exit code 130 after the application saw Ctrl+C\n", path);
        ++failures;
    }
    return failures;
}

} // namespace

int wmain() {
    if (!ts::joinConsole()) {
        return 1;
    }
    ts::TempDir dir(L"ctrlc");
    ts::Image image(dir / L"Tool", L"Tool", L"corvela-console.exe");
    image.cfg("[Application]\napp.mainclass=tool.Main\n");
    ts::ScopedEnv record(L"STANDIN_RECORD", image.recordPath());
    ts::ScopedEnv ctrlC(L"STANDIN_CTRL_C", L"1");
    ts::ScopedEnv sleep(L"STANDIN_SLEEP_MS", L"20000");
    ts::ScopedEnv debug(L"CORVELA_DEBUG", L"false");
    const int failures = check(image, true) + check(image, false);
    printf(failures ? "Ctrl+C test failed\n" : "Ctrl+C test passed\n");
    return failures ? 1 : 0;
}

// Raises Ctrl+C on the console it shares with a console launcher over a genuine Windows
// Java 17, as a user at the keyboard would: the JVM's shutdown hook runs and it ends with
// 130, in process and through the restart. Needs a console: run it with a terminal as
// standard input (Wine then gives it a console that its children share). Exits 0 when
// everything matched.

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

#include "BridgeSupport.h"
#include "ConsoleProbe.h"
#include "LauncherImage.h"
#include "RealJvmSupport.h"
#include "TestSupport.h"

namespace ts = testing_support;
using bridge_test::LiveProcess;
using bridge_test::Stream;
using realjvm_test::RealImage;

namespace {

int check(const RealImage& image, bool inProcess) {
    const char* path = inProcess ? "in process" : "restart";
    std::unique_ptr<ts::ScopedEnv> pathVar;
    if (inProcess) {
        pathVar.reset(
            new ts::ScopedEnv(L"PATH", ts::env(L"PATH") + L";" + ts::upper(image.appDir())));
    }
    // Standard input stays the console; the program's output comes through a pipe, so the
    // probe knows when the hook is in place.
    LiveProcess::Options options;
    options.inheritInput = true;
    LiveProcess tool(image.exe(), L"hook", options);
    const std::string ready = tool.nextLine(Stream::Output);
    if (ready != "ready") {
        printf("FAIL (%s): the program never got ready: [%s] %s\n", path, ready.c_str(),
               tool.all(Stream::Error).c_str());
        return 1;
    }
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    const DWORD code = tool.wait(60000);
    const std::string hook = tool.nextLine(Stream::Output);
    printf("%s: exit code %lu, after Ctrl+C the program printed [%s]\n", path, code, hook.c_str());
    if (code != 130 || hook != "shutdown hook ran") {
        printf("FAIL (%s): expected exit code 130 after the shutdown hook ran\n%s", path,
               tool.all(Stream::Error).c_str());
        return 1;
    }
    return 0;
}

} // namespace

int wmain() {
    if (!ts::joinConsole()) {
        return 1;
    }
    ts::TempDir dir(L"realjvm-ctrlc");
    RealImage image(dir / L"Tool", L"Tool", L"corvela-console.exe",
                    realjvm_test::realRuntimeDir(L"java17"));
    ts::ScopedEnv debug(L"CORVELA_DEBUG", L"false");
    const int failures = check(image, true) + check(image, false);
    printf(failures ? "Ctrl+C test failed\n" : "Ctrl+C test passed\n");
    return failures ? 1 : 0;
}

// Raises Ctrl+C on the console it shares with a console launcher over the bridge runtime,
// as a user at the keyboard would, and checks that the host's Java program gets it as a
// real JVM does: its shutdown hook runs and it ends with 130, in process and through the
// restart; and that a stream left on the console keeps apart from the one redirected. Needs
// a console: run it with a terminal as standard input (Wine then gives it a
// console that its children share). Exits 0 when everything matched.

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

#include "BridgeSupport.h"
#include "ConsoleProbe.h"
#include "TestSupport.h"

namespace ts = testing_support;
using bridge_test::BridgeImage;
using bridge_test::LiveProcess;
using bridge_test::Stream;

namespace {

int check(const BridgeImage& image, bool inProcess) {
    const char* path = inProcess ? "in process" : "restart";
    std::unique_ptr<ts::ScopedEnv> pathVar;
    if (inProcess) {
        pathVar.reset(new ts::ScopedEnv(L"PATH", image.pathListingAppDir()));
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

// A shell that redirects one stream leaves the other on the terminal: each keeps its own
// lines, none of the other's.
int checkOneStreamRedirected(const BridgeImage& image) {
    int failures = 0;
    for (const bool errorRedirected : {true, false}) {
        const char* which = errorRedirected ? "error" : "output";
        LiveProcess::Options options;
        options.outputToConsole = errorRedirected;
        options.errorToConsole = !errorRedirected;
        LiveProcess tool(image.exe(), L"script", options);
        tool.write("out one\nerr two\nout three\n");
        tool.closeInput();
        const DWORD code = tool.wait(60000);
        const std::string redirected = tool.all(errorRedirected ? Stream::Error : Stream::Output);
        const std::string expected = errorRedirected ? "two\n" : "one\nthree\nend of input\n";
        printf("only standard %s redirected: exit code %lu, it got [%s]\n", which, code,
               redirected.c_str());
        if (code != 0 || redirected != expected) {
            printf("FAIL: standard %s should hold [%s] alone\n", which, expected.c_str());
            ++failures;
        }
    }
    return failures;
}

} // namespace

int wmain() {
    if (!ts::joinConsole()) {
        return 1;
    }
    ts::TempDir dir(L"bridge-ctrlc");
    BridgeImage image(dir / L"Tool", L"Tool", L"corvela-console.exe");
    ts::ScopedEnv debug(L"CORVELA_DEBUG", L"false");
    const int failures =
        check(image, true) + check(image, false) + checkOneStreamRedirected(image);
    printf(failures ? "Ctrl+C test failed\n" : "Ctrl+C test passed\n");
    return failures ? 1 : 0;
}

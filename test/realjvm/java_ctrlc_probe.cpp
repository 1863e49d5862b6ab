// Raises Ctrl+C on the console it shares with a console launcher over the Java runtime in the
// folder its argument names (a genuine Windows runtime, or the bridge runtime with the host's
// Java), as a user at the keyboard would: the JVM's shutdown hook runs and it ends with 130,
// in process and through the restart; and a stream left on the console keeps apart from the
// one redirected. Needs a console: run it with a terminal as standard input (Wine then gives
// it a console that its children share). Exits 0 when everything matched.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "BridgeSupport.h"
#include "ConsoleProbe.h"
#include "RealJvmSupport.h"
#include "TestSupport.h"

namespace ts = testing_support;
using bridge_test::LiveProcess;
using bridge_test::Stream;
using realjvm_test::RealImage;

namespace {

// What a stream carried, with Windows line ends as "\n".
std::string unixLines(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

int check(const RealImage& image, bool inProcess) {
    const char* path = inProcess ? "in process" : "restart";
    const ts::ScopedEnv pathVar(L"PATH", inProcess ? image.pathListingAppDir() : ts::env(L"PATH"));
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
int checkOneStreamRedirected(const RealImage& image) {
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
        const std::string redirected =
            unixLines(tool.all(errorRedirected ? Stream::Error : Stream::Output));
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

int wmain(int argc, wchar_t** argv) {
    if (argc != 2 ||
        GetFileAttributesW((std::wstring(argv[1]) + L"\\bin\\jli.dll").c_str()) ==
            INVALID_FILE_ATTRIBUTES) {
        printf("FAIL: give the folder of a Java runtime (one with bin\\jli.dll)\n");
        return 2;
    }
    if (!ts::joinConsole()) {
        return 1;
    }
    ts::TempDir dir(L"java-ctrlc");
    RealImage image(dir / L"Tool", L"Tool", L"corvela-console.exe", argv[1]);
    ts::ScopedEnv debug(L"CORVELA_DEBUG", L"false");
    const int failures =
        check(image, true) + check(image, false) + checkOneStreamRedirected(image);
    printf(failures ? "Ctrl+C test failed\n" : "Ctrl+C test passed\n");
    return failures ? 1 : 0;
}

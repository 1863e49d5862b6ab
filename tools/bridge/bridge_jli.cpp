// Bridge runtime for running application images under Wine on Linux: a bin\jli.dll whose
// JLI_Launch hands the launcher's JVM argument list to the host's `java` and returns its
// exit status. It is a tool for trying images here; it is not part of the launcher.
//
// The program's standard input, output and error are relayed live, Ctrl+C reaches it as
// SIGINT, and a non-zero status ends the process with that code, as System.exit does
// inside a real runtime. Its bin\server\jvm.dll ends the program on request as
// System.exit would (BridgeExports.h).

#include <windows.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "ActiveLaunch.h"
#include "BridgeExports.h"
#include "HostJava.h"
#include "JavaCommand.h"
#include "Report.h"
#include "UnixPaths.h"

namespace {

using namespace bridge;

int fail(const std::string& message) {
    report(message);
    return 1;
}

// A real runtime turns Ctrl+C into SIGINT for itself; Ctrl+Break prints a thread dump.
BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
        active::signal("INT");
        return TRUE;
    case CTRL_BREAK_EVENT:
        active::signal("QUIT");
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        active::signal("TERM");
        return FALSE;
    default:
        return FALSE;
    }
}

// Appends the host program's times to the file CORVELA_BRIDGE_TIMES names, one line a run.
void recordTimes(const HostTimes& times, int status) {
    wchar_t path[MAX_PATH * 4];
    const DWORD n = GetEnvironmentVariableW(L"CORVELA_BRIDGE_TIMES", path, MAX_PATH * 4);
    if (n == 0 || n >= MAX_PATH * 4 || !times.known) {
        return;
    }
    UniqueFile file(_wfopen(path, L"ab"));
    if (!file) {
        fail("cannot append to CORVELA_BRIDGE_TIMES file " + toUtf8(path));
        return;
    }
    fprintf(file.get(), "wall=%.6f user=%.3f sys=%.3f status=%d\n", times.wallSeconds,
            times.userSeconds, times.systemSeconds, status);
}

int runHostJava(const std::vector<std::wstring>& args) {
    const UnixPaths paths;
    if (!paths.underWine()) {
        throw std::runtime_error("not running under Wine: no wine_get_unix_file_name");
    }
    const std::string command = "java" + JavaCommand(paths).words(args);
    HostJava host(paths, command);
    active::begin();
    struct EndOfLaunch {
        ~EndOfLaunch() { active::ended(); }
    } endOfLaunch;
    host.start();
    // Running before its first line is copied: a caller that has seen the program's output
    // finds it through the invocation interface.
    active::started(host);
    host.relayStreams();
    int status = host.wait();
    int asked = 0;
    if (active::exitRequested(asked)) {
        status = asked;
    }
    recordTimes(host.times(), status);
    return status;
}

} // namespace

extern "C" __declspec(dllexport) int JLI_Launch(int argc, char** argv, int, const char**, int,
                                                const char**, const char*, const char*, const char*,
                                                const char*, unsigned char, unsigned char,
                                                unsigned char, int) {
    // Element 0 is the launcher's own path: the host's java takes its place.
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(fromAcp(argv[i]));
    }
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    int status = 0;
    try {
        status = runHostJava(args);
    } catch (const std::exception& e) {
        SetConsoleCtrlHandler(onConsoleEvent, FALSE);
        return fail(e.what());
    }
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    // A real runtime ends the process from inside JLI_Launch when the program calls
    // System.exit, so a non-zero status never reaches the launcher as a launch failure.
    if (status != 0) {
        ExitProcess(static_cast<UINT>(status));
    }
    return 0;
}

extern "C" __declspec(dllexport) int CorvelaBridgeRunning() {
    return active::running() ? 1 : 0;
}

extern "C" __declspec(dllexport) int CorvelaBridgeExit(int status) {
    switch (active::exit(status, BRIDGE_EXIT_LIMIT_MS)) {
    case active::ExitOutcome::Ended:
        return 1;
    case active::ExitOutcome::NoneRunning:
        return 0;
    default:
        return -1;
    }
}

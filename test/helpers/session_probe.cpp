// The end of a session for the GUI launcher's restart parent. Starts a launcher image that
// restarts itself, waits until the application (the stand-in, busy for a few seconds) runs,
// then ends the session with `wineboot --end-session --force`, and checks that the parent
// was told and held the session's end until the application had finished its work: wineboot
// waits for the parent's handler, so it may return only after the application's work ended,
// and so may the parent. Needs a display (run under xvfb-run). Exits 0 when all matched.

#include <windows.h>

#include <cstdio>
#include <string>

#include "LauncherImage.h"
#include "TestSupport.h"

namespace ts = testing_support;

namespace {

HANDLE start(const std::wstring& exe, const std::wstring& arguments) {
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = L"\"" + exe + L"\"" + arguments;
    if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        return nullptr;
    }
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

// The tick count when `process` has ended, or 0 when it did not within the time limit.
ULONGLONG waitForEnd(HANDLE process, DWORD timeoutMs) {
    return WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0 ? GetTickCount64() : 0;
}

} // namespace

int wmain() {
    ts::TempDir dir(L"session");
    ts::Image image(dir / L"Demo");
    image.cfg("[Application]\napp.mainclass=app.Main\n");
    ts::ScopedEnv record(L"STANDIN_RECORD", image.recordPath());
    ts::ScopedEnv busy(L"STANDIN_SLEEP_MS", L"4000");
    ts::ScopedEnv debug(L"CORVELA_DEBUG", L"false");
    const ts::NamedEvent running;
    ts::ScopedEnv ready(L"STANDIN_READY_EVENT", running.name());

    const HANDLE launcher = start(image.exe(), L"");
    if (!launcher) {
        printf("FAIL: cannot start the launcher\n");
        return 1;
    }
    const std::string childPid =
        running.waitFor(30000) ? ts::Record::read(image.recordPath()).get("pid") : std::string();
    int failures = 0;
    if (childPid.empty()) {
        printf("FAIL: the application never started\n");
        ++failures;
    } else if (childPid == std::to_string(GetProcessId(launcher))) {
        printf("FAIL: the launcher did not restart itself\n");
        ++failures;
    }

    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    const HANDLE wineboot =
        start(std::wstring(system) + L"\\wineboot.exe", L" --end-session --force");
    const ULONGLONG sessionEnded = wineboot ? waitForEnd(wineboot, 60000) : 0;
    const ULONGLONG parentEnded = waitForEnd(launcher, 60000);
    const ts::Record seen = ts::Record::read(image.recordPath());
    const ULONGLONG workEnded = std::stoull("0" + seen.get("finished_tick"));
    printf("application's work ended at %llu, wineboot returned at %llu, parent ended at %llu\n",
           workEnded, sessionEnded, parentEnded);
    if (!workEnded) {
        printf("FAIL: the application did not finish its work\n");
        ++failures;
    }
    if (!sessionEnded || sessionEnded < workEnded) {
        printf("FAIL: the session ended before the application had finished: the parent was "
               "not told, or did not wait\n");
        ++failures;
    }
    if (!parentEnded || parentEnded < workEnded) {
        printf("FAIL: the parent ended before the application had finished\n");
        ++failures;
    }
    if (!parentEnded) {
        TerminateProcess(launcher, 99);
    }
    CloseHandle(launcher);
    if (wineboot) {
        CloseHandle(wineboot);
    }
    printf(failures ? "end of session test failed\n" : "end of session test passed\n");
    return failures ? 1 : 0;
}

// The end of a console for the console launcher's restart parent. Starts a command-line tool
// image that restarts itself on this console, waits until the application (the stand-in,
// which answers the end of its console with a few seconds of shutdown work) runs, then tells
// both processes that the console is closing the way the system does: a thread started in
// each at the console control routine. The parent must hold on until the application has
// finished that work: ended first, it would close the job that ends the application with it.
// Needs a console: run it with a terminal as standard input. Exits 0 when all matched.

#include <windows.h>

#include <cstdio>
#include <string>

#include "ConsoleProbe.h"
#include "LauncherImage.h"
#include "TestSupport.h"

namespace ts = testing_support;

namespace {

// What the console host does for every process attached to a console that closes.
bool tellConsoleClosed(HANDLE process) {
    const auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine")));
    if (!routine) {
        return false;
    }
    const HANDLE thread = CreateRemoteThread(
        process, nullptr, 0, routine, reinterpret_cast<LPVOID>(CTRL_CLOSE_EVENT), 0, nullptr);
    if (!thread) {
        return false;
    }
    CloseHandle(thread);
    return true;
}

int check(const ts::Image& image) {
    const ts::NamedEvent running;
    ts::ScopedEnv ready(L"STANDIN_READY_EVENT", running.name());
    const HANDLE launcher = ts::startOnThisConsole(image.exe());
    if (!launcher) {
        printf("FAIL: cannot start the launcher\n");
        return 1;
    }
    if (!running.waitFor(30000)) {
        printf("FAIL: the application never started\n");
        TerminateProcess(launcher, 99);
        CloseHandle(launcher);
        return 1;
    }
    const DWORD childPid = std::stoul("0" + ts::Record::read(image.recordPath()).get("pid"));
    const HANDLE child = OpenProcess(SYNCHRONIZE | PROCESS_CREATE_THREAD |
                                         PROCESS_QUERY_INFORMATION | PROCESS_VM_OPERATION |
                                         PROCESS_VM_WRITE | PROCESS_VM_READ | PROCESS_TERMINATE,
                                     FALSE, childPid);
    int failures = 0;
    if (!child || childPid == GetProcessId(launcher)) {
        printf("FAIL: the launcher did not restart itself\n");
        ++failures;
    } else if (!tellConsoleClosed(child) || !tellConsoleClosed(launcher)) {
        printf("FAIL: cannot tell the processes that the console closes (error %lu)\n",
               GetLastError());
        ++failures;
    } else if (WaitForSingleObject(launcher, 60000) != WAIT_OBJECT_0) {
        printf("FAIL: the parent is still running after the console closed\n");
        ++failures;
    }
    if (child) {
        // Ended with the parent, or on its own after its work: either way it ends now.
        WaitForSingleObject(child, 60000);
        TerminateProcess(child, 99);
        CloseHandle(child);
    }
    TerminateProcess(launcher, 99);
    CloseHandle(launcher);
    const ts::Record seen = ts::Record::read(image.recordPath());
    printf("the application's shutdown work: %s, %s\n",
           seen.get("shutdown").empty() ? "never started" : seen.get("shutdown").c_str(),
           seen.has("shutdown_done") ? "done" : "not done");
    if (!seen.has("shutdown_done")) {
        printf("FAIL: the application was ended before its shutdown work was done: the parent "
               "did not wait for it\n");
        ++failures;
    }
    return failures;
}

} // namespace

int wmain() {
    if (!ts::joinConsole(false)) {
        return 1;
    }
    ts::TempDir dir(L"close");
    ts::Image image(dir / L"Tool", L"Tool", L"corvela-console.exe");
    image.cfg("[Application]\napp.mainclass=tool.Main\n");
    ts::ScopedEnv record(L"STANDIN_RECORD", image.recordPath());
    ts::ScopedEnv busy(L"STANDIN_SLEEP_MS", L"60000");
    ts::ScopedEnv shutdown(L"STANDIN_SHUTDOWN_MS", L"3000");
    ts::ScopedEnv debug(L"CORVELA_DEBUG", L"false");
    const int failures = check(image);
    printf(failures ? "console close test failed\n" : "console close test passed\n");
    return failures ? 1 : 0;
}

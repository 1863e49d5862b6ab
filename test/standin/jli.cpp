// Stand-in for a Java runtime's launcher library: records everything JLI_Launch receives
// and returns the exit code the test asks for (STANDIN_EXIT), after a pause if asked
// (STANDIN_SLEEP_MS), or crashes (STANDIN_CRASH).
//
// What a real runtime does besides: its jvm.dll loads sibling libraries by bare name once
// it runs (STANDIN_LOAD_BY_NAME, ";"-separated, each recorded as found or not), and the
// application may start programs of its own that must outlive the launcher (STANDIN_SPAWN,
// a command line started without waiting).
//
// And what a command-line tool does with its console: STANDIN_PRINT writes a line to
// standard output and one to standard error; STANDIN_ECHO_STDIN copies standard input to
// standard output until its end; STANDIN_CTRL_C ends the process with 130 on Ctrl+C or
// Ctrl+Break, as the JVM does. After the pause, "finished=1" is recorded. STANDIN_READY_EVENT
// and STANDIN_HOLD_EVENT name events: the first is set once the call is recorded, the second
// is waited for before the pause.

#include <cstdlib>

#include "record.h"

#define PSAPI_VERSION 2
#include <psapi.h>

using standin::hex;
using standin::utf8;

namespace {

std::string text(const char* s) {
    return s ? "[" + std::string(s) + "]" : "null";
}

std::string number(long long v) {
    return std::to_string(v);
}

// The launcher's own CPU time up to this call, in microseconds, and its peak working set.
std::string cpuMicros() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        return "?";
    }
    const auto ticks = [](const FILETIME& t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return number(static_cast<long long>((ticks(kernel) + ticks(user)) / 10));
}

std::string peakWorkingSetKiB() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) {
        return "?";
    }
    return number(static_cast<long long>(counters.PeakWorkingSetSize / 1024));
}

template <class Action> void forEachName(const std::wstring& names, Action action) {
    size_t start = 0;
    while (start < names.size()) {
        size_t end = names.find(L';', start);
        if (end == std::wstring::npos) {
            end = names.size();
        }
        action(names.substr(start, end - start));
        start = end + 1;
    }
}

void writeTo(DWORD which, const std::string& text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(which), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string readAllOfStandardInput() {
    std::string data;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &read, nullptr) &&
           read > 0) {
        data.append(buffer, read);
    }
    return data;
}

BOOL WINAPI endWith130OnCtrlC(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        return FALSE;
    }
    standin::Record().line("ctrl", event == CTRL_C_EVENT ? "c" : "break");
    ExitProcess(130);
}

// The process id of the started program, or "failed".
std::string spawnDetached(std::wstring commandLine) {
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
        return "failed";
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return number(pi.dwProcessId);
}

} // namespace

extern "C" __declspec(dllexport) int JLI_Launch(
    int argc, char** argv, int jargc, const char** jargv, int appclassc, const char** appclassv,
    const char* fullversion, const char* dotversion, const char* pname, const char* lname,
    unsigned char javaargs, unsigned char cpwildcard, unsigned char javaw, int ergo) {
    {
        // Measured first, before the recording itself costs anything.
        const std::string cpu = cpuMicros();
        const std::string peak = peakWorkingSetKiB();
        standin::Record record;
        record.line("call", "JLI_Launch");
        record.line("pid", number(GetCurrentProcessId()));
        // The code page the narrow arguments are in: the launcher's manifest chooses it.
        record.line("acp", number(GetACP()));
        record.line("cpu_us", cpu);
        record.line("peak_ws_kib", peak);
        record.line("argc", number(argc));
        for (int i = 0; i < argc; ++i) {
            record.line("arg", hex(argv[i]));
        }
        record.line("argv_terminated", argv[argc] == nullptr ? "1" : "0");
        record.line("jargc", number(jargc));
        record.line("jargv", jargv ? "set" : "null");
        record.line("appclassc", number(appclassc));
        record.line("appclassv", appclassv ? "set" : "null");
        record.line("fullversion", text(fullversion));
        record.line("dotversion", text(dotversion));
        record.line("pname", text(pname));
        record.line("lname", text(lname));
        record.line("javaargs", number(javaargs));
        record.line("cpwildcard", number(cpwildcard));
        record.line("javaw", number(javaw));
        record.line("ergo", number(ergo));

        wchar_t cwd[MAX_PATH * 4];
        const DWORD n = GetCurrentDirectoryW(MAX_PATH * 4, cwd);
        record.line("cwd", utf8(std::wstring(cwd, n)));
        // The variables the test wants to see, as the process sees them at the call.
        forEachName(standin::env(L"STANDIN_ENV_NAMES"), [&record](const std::wstring& name) {
            record.line("env." + utf8(name), utf8(standin::env(name.c_str())));
        });
        forEachName(standin::env(L"STANDIN_LOAD_BY_NAME"), [&record](const std::wstring& name) {
            const HMODULE module = LoadLibraryW(name.c_str());
            record.line("loaded_by_name." + utf8(name), module ? "1" : "0");
            if (module) {
                FreeLibrary(module);
            }
        });
        const std::wstring spawn = standin::env(L"STANDIN_SPAWN");
        if (!spawn.empty()) {
            record.line("spawned", spawnDetached(spawn));
        }
        const std::wstring print = standin::env(L"STANDIN_PRINT");
        if (!print.empty()) {
            writeTo(STD_OUTPUT_HANDLE, "out:" + utf8(print) + "\n");
            writeTo(STD_ERROR_HANDLE, "err:" + utf8(print) + "\n");
        }
        if (standin::env(L"STANDIN_ECHO_STDIN") == L"1") {
            const std::string input = readAllOfStandardInput();
            record.line("stdin", hex(input.c_str()));
            writeTo(STD_OUTPUT_HANDLE, "stdin:" + input);
        }
        if (standin::env(L"STANDIN_CTRL_C") == L"1") {
            SetConsoleCtrlHandler(endWith130OnCtrlC, TRUE);
            record.line("ctrl_handler", "installed");
        }
        // Libraries the test asks about (STANDIN_MODULE_NAMES): loaded in this process or not.
        forEachName(standin::env(L"STANDIN_MODULE_NAMES"), [&record](const std::wstring& name) {
            record.line("module." + utf8(name), GetModuleHandleW(name.c_str()) ? "1" : "0");
        });
        record.line("modules.jvm", GetModuleHandleW(L"jvm.dll") ? "1" : "0");
        record.line("modules.splashscreen", GetModuleHandleW(L"splashscreen.dll") ? "1" : "0");
    }
    // Tells a test that the "JVM" runs (STANDIN_READY_EVENT), and holds it running until the
    // test says so (STANDIN_HOLD_EVENT): both name events the test made.
    const std::wstring ready = standin::env(L"STANDIN_READY_EVENT");
    if (!ready.empty()) {
        if (HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, ready.c_str())) {
            SetEvent(event);
            CloseHandle(event);
        }
    }
    const std::wstring hold = standin::env(L"STANDIN_HOLD_EVENT");
    if (!hold.empty()) {
        if (HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, hold.c_str())) {
            WaitForSingleObject(event, INFINITE);
            CloseHandle(event);
        }
    }
    // Holds the "JVM" running for as long as a test needs a live child.
    const std::wstring sleep = standin::env(L"STANDIN_SLEEP_MS");
    if (!sleep.empty()) {
        Sleep(static_cast<DWORD>(std::wcstoul(sleep.c_str(), nullptr, 10)));
    }
    {
        standin::Record record;
        record.line("finished", "1");
        // When the work ended, on the clock every process shares.
        record.line("finished_tick", number(static_cast<long long>(GetTickCount64())));
    }
    // What System.exit does in a real runtime: the process ends there, JLI_Launch never returns.
    const std::wstring systemExit = standin::env(L"STANDIN_SYSTEM_EXIT");
    if (!systemExit.empty()) {
        ExitProcess(static_cast<UINT>(std::wcstoul(systemExit.c_str(), nullptr, 10)));
    }
    if (standin::env(L"STANDIN_CRASH") == L"1") {
        // A crash, not a debugging session: keep Wine from starting its debugger.
        SetErrorMode(SEM_NOGPFAULTERRORBOX);
        *static_cast<volatile int*>(nullptr) = 1;
    }
    return static_cast<int>(std::wcstoul(standin::env(L"STANDIN_EXIT").c_str(), nullptr, 10));
}

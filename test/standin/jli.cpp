// Stand-in for a Java runtime's launcher library: records everything JLI_Launch receives
// and returns the exit code the test asks for (STANDIN_EXIT), after a pause if asked
// (STANDIN_SLEEP_MS), or crashes (STANDIN_CRASH). STANDIN_EXITS gives one System.exit code
// per start of the application, ","-separated, its last repeated: the n-th JLI_Launch the
// record holds ends its process with the n-th code.
//
// What a real runtime does besides: its jvm.dll loads sibling libraries by bare name once
// it runs (STANDIN_LOAD_BY_NAME, ";"-separated, each recorded as found or not), and the
// application may start programs of its own that must outlive the launcher (STANDIN_SPAWN,
// a command line started without waiting).
//
// And what a command-line tool does with its console: STANDIN_PRINT writes a line to
// standard output and one to standard error; STANDIN_ECHO_STDIN copies standard input to
// standard output until its end; STANDIN_CTRL_C ends the process with 130 on Ctrl+C or
// Ctrl+Break, as the JVM does; STANDIN_SHUTDOWN_MS makes the end of its console (closed,
// logoff, shutdown) start shutdown work that long, as the JVM's shutdown hooks would, and
// records "shutdown_done=1" once it is done. After the pause, "finished=1" is recorded.
//
// For tests that must know when the application runs, STANDIN_READY_EVENT names an event
// that is set once everything above is in place. And the library records, as it is loaded,
// whether its process is already in a job. STANDIN_HOLD_EVENT names an event the "JVM" waits
// for, once ready, before the pause.
//
// And what a runtime does with a class-data archive it is asked to write: with
// STANDIN_WRITE_ARCHIVE=1 it writes one when the "application" ends, where
// -XX:ArchiveClassesAtExit names, or where -XX:SharedArchiveFile names under
// -XX:+AutoCreateSharedArchive when no file is there. With STANDIN_GATE=<name> it first
// releases the semaphore <name>.ready and waits for the event <name>.go, so that a test can
// hold several starts at the same point.
//
// And how a runtime ends a start it cannot make: STANDIN_STDERR writes its text to standard
// error ("|" between lines) first thing; STANDIN_CRT_EXIT=<code> then ends the process
// through exit() of the universal C runtime, as a real runtime does from inside, without
// JLI_Launch ever returning.

#include <algorithm>
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

BOOL WINAPI shutDownSlowlyWhenTheConsoleEnds(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        return FALSE;
    }
    standin::Record().line("shutdown", "started");
    Sleep(static_cast<DWORD>(
        std::wcstoul(standin::env(L"STANDIN_SHUTDOWN_MS").c_str(), nullptr, 10)));
    standin::Record().line("shutdown_done", "1");
    ExitProcess(0);
}

void setReadyEvent() {
    const std::wstring name = standin::env(L"STANDIN_READY_EVENT");
    if (name.empty()) {
        return;
    }
    if (const HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str())) {
        SetEvent(event);
        CloseHandle(event);
    }
}

// "1" when this process is in a job.
std::string inJob() {
    BOOL inJob = FALSE;
    return IsProcessInJob(GetCurrentProcess(), nullptr, &inJob) ? (inJob ? "1" : "0") : "?";
}

// Taken as the library loads, recorded with the call: loading costs the launcher no file
// access of its own.
std::string inJobAtLoad = "?";

// The process id of the started program, or "failed". It gets none of the application's
// standard handles: a test reading the launcher's output need not wait for it.
std::string spawnDetached(std::wstring commandLine) {
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
        return "failed";
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return number(pi.dwProcessId);
}

std::wstring fromAcp(const char* text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring out(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &out[0], n);
    out.resize(wcslen(out.c_str()));
    return out;
}

// Where a runtime would write its class-data archive at exit; empty for none.
std::wstring archiveTarget(int argc, char** argv) {
    bool autoCreate = false;
    std::wstring shared;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = fromAcp(argv[i]);
        const std::wstring atExit = L"-XX:ArchiveClassesAtExit=";
        const std::wstring sharedFile = L"-XX:SharedArchiveFile=";
        if (arg.compare(0, atExit.size(), atExit) == 0) {
            return arg.substr(atExit.size());
        }
        if (arg.compare(0, sharedFile.size(), sharedFile) == 0) {
            shared = arg.substr(sharedFile.size());
        }
        autoCreate = autoCreate || arg == L"-XX:+AutoCreateSharedArchive";
    }
    const bool exists =
        !shared.empty() && GetFileAttributesW(shared.c_str()) != INVALID_FILE_ATTRIBUTES;
    return autoCreate && !exists ? shared : std::wstring();
}

// A dynamic archive's first bytes, then text naming the process that wrote it.
void writeArchive(const std::wstring& path) {
    std::string bytes =
        "\xa8\xab\x0b\xf0 standin archive written by " + number(GetCurrentProcessId()) + "\n";
    bytes.resize(4096, '.');
    FILE* file = _wfopen(path.c_str(), L"wb");
    const bool written = file && fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = file && fclose(file) == 0;
    standin::Record().line("archive_written", written && closed ? utf8(path) : "failed");
}

void passGate(const std::wstring& name) {
    HANDLE ready = OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, (name + L".ready").c_str());
    HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, (name + L".go").c_str());
    if (ready) {
        ReleaseSemaphore(ready, 1, nullptr);
        CloseHandle(ready);
    }
    if (go) {
        WaitForSingleObject(go, INFINITE);
        CloseHandle(go);
    }
}

// A real runtime's jli.dll imports the universal C runtime: it is there once the library is.
const HMODULE ucrt =
    standin::env(L"STANDIN_CRT_EXIT").empty() ? nullptr : LoadLibraryW(L"ucrtbase.dll");

// The code STANDIN_EXITS names for this start: the record holds one "call" line per start.
std::wstring exitCodeOfThisStart(const std::wstring& codes) {
    size_t starts = 0;
    if (FILE* file = _wfopen(standin::env(L"STANDIN_RECORD").c_str(), L"rb")) {
        char line[4096];
        while (fgets(line, sizeof(line), file)) {
            starts += std::string(line) == "call=JLI_Launch\n" ? 1 : 0;
        }
        fclose(file);
    }
    std::wstring code;
    size_t start = 0;
    for (size_t i = 0; i < starts && start <= codes.size(); ++i) {
        const size_t end = std::min(codes.find(L',', start), codes.size());
        code = codes.substr(start, end - start);
        start = end + 1;
    }
    return code;
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
        record.line("in_job_at_load", inJobAtLoad);
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
        if (!standin::env(L"STANDIN_SHUTDOWN_MS").empty()) {
            SetConsoleCtrlHandler(shutDownSlowlyWhenTheConsoleEnds, TRUE);
            record.line("shutdown_handler", "installed");
        }
        // Libraries the test asks about (STANDIN_MODULE_NAMES): loaded in this process or not.
        forEachName(standin::env(L"STANDIN_MODULE_NAMES"), [&record](const std::wstring& name) {
            record.line("module." + utf8(name), GetModuleHandleW(name.c_str()) ? "1" : "0");
        });
        record.line("modules.jvm", GetModuleHandleW(L"jvm.dll") ? "1" : "0");
        record.line("modules.splashscreen", GetModuleHandleW(L"splashscreen.dll") ? "1" : "0");
    }
    const std::wstring errorText = standin::env(L"STANDIN_STDERR");
    if (!errorText.empty()) {
        std::string lines = utf8(errorText) + "\r\n";
        for (size_t bar = lines.find('|'); bar != std::string::npos; bar = lines.find('|', bar)) {
            lines.replace(bar, 1, "\r\n");
        }
        writeTo(STD_ERROR_HANDLE, lines);
    }
    const std::wstring crtExit = standin::env(L"STANDIN_CRT_EXIT");
    if (!crtExit.empty()) {
        typedef void(__cdecl * ExitFn)(int);
        const ExitFn exitFn = ucrt ? reinterpret_cast<ExitFn>(reinterpret_cast<void*>(
                                         GetProcAddress(ucrt, "exit")))
                                   : nullptr;
        const int code = static_cast<int>(std::wcstoul(crtExit.c_str(), nullptr, 10));
        if (exitFn) {
            exitFn(code);
        }
        ExitProcess(static_cast<UINT>(code));
    }
    setReadyEvent();
    // Holds the "JVM" running until the test says so (STANDIN_HOLD_EVENT, an event it made).
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
    const std::wstring gate = standin::env(L"STANDIN_GATE");
    if (!gate.empty()) {
        passGate(gate);
    }
    if (standin::env(L"STANDIN_WRITE_ARCHIVE") == L"1") {
        const std::wstring target = archiveTarget(argc, argv);
        if (!target.empty()) {
            writeArchive(target);
        }
    }
    {
        standin::Record record;
        record.line("finished", "1");
        // When the work ended, on the clock every process shares.
        record.line("finished_tick", number(static_cast<long long>(GetTickCount64())));
    }
    // What System.exit does in a real runtime: the process ends there, JLI_Launch never returns.
    const std::wstring exits = standin::env(L"STANDIN_EXITS");
    const std::wstring systemExit =
        exits.empty() ? standin::env(L"STANDIN_SYSTEM_EXIT") : exitCodeOfThisStart(exits);
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

// Loaded by a restarted launcher, the runtime must already be inside the job that ends it
// with its parent: from here on the application may start programs of its own.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        inJobAtLoad = inJob();
    }
    return TRUE;
}

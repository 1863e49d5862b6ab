// Reports the argument vector it received, as CommandLineToArgvW splits its command line,
// one UTF-8 hex line per element, to the file named by ARGV_ECHO_OUT; exits with the code
// in ARGV_ECHO_EXIT. With ARGV_ECHO_STARTUP it also writes the startup flags and show-window
// value it was created with. ARGV_ECHO_WAIT_EVENT names an event it waits for before it
// reports, so that a test can tell whether it outlived its parent.

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::wstring env(const wchar_t* name) {
    wchar_t buffer[4096];
    const DWORD n = GetEnvironmentVariableW(name, buffer, 4096);
    return n > 0 && n < 4096 ? std::wstring(buffer, n) : std::wstring();
}

} // namespace

int wmain() {
    const std::wstring waitFor = env(L"ARGV_ECHO_WAIT_EVENT");
    if (!waitFor.empty()) {
        const HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, waitFor.c_str());
        if (!event || WaitForSingleObject(event, 60000) != WAIT_OBJECT_0) {
            return 2;
        }
        CloseHandle(event);
    }
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const std::wstring out = env(L"ARGV_ECHO_OUT");
    if (argv && !out.empty()) {
        if (FILE* file = _wfopen(out.c_str(), L"wb")) {
            for (int i = 0; i < argc; ++i) {
                for (const wchar_t* p = argv[i]; *p; ++p) {
                    fprintf(file, "%04x", static_cast<unsigned>(*p));
                }
                fputc('\n', file);
            }
            fclose(file);
        }
    }
    LocalFree(argv);
    const std::wstring startup = env(L"ARGV_ECHO_STARTUP");
    if (!startup.empty()) {
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        GetStartupInfoW(&si);
        if (FILE* file = _wfopen(startup.c_str(), L"wb")) {
            fprintf(file, "flags=%lu show=%u\n", si.dwFlags & STARTF_USESHOWWINDOW,
                    static_cast<unsigned>(si.wShowWindow));
            fclose(file);
        }
    }
    return static_cast<int>(wcstoul(env(L"ARGV_ECHO_EXIT").c_str(), nullptr, 10));
}

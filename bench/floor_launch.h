// What every benchmark launcher does at the end: load the runtime's launcher library beside
// the exe (runtime\bin\jli.dll) and call JLI_Launch with a fixed argument list.
#ifndef CORVELA_BENCH_FLOOR_LAUNCH_H
#define CORVELA_BENCH_FLOOR_LAUNCH_H

#include <windows.h>

#include <string>

inline int launchRuntimeBesideExe(const char* exeName) {
    typedef int (*JliLaunchFunc)(int, char**, int, const char**, int, const char**, const char*,
                                 const char*, const char*, const char*, unsigned char,
                                 unsigned char, unsigned char, int);
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    dir.resize(dir.find_last_of(L'\\'));
    HMODULE jli = LoadLibraryW((dir + L"\\runtime\\bin\\jli.dll").c_str());
    if (!jli) {
        return 1;
    }
    const JliLaunchFunc launch =
        reinterpret_cast<JliLaunchFunc>(reinterpret_cast<void*>(GetProcAddress(jli, "JLI_Launch")));
    if (!launch) {
        return 1;
    }
    std::string arg0 = exeName;
    std::string arg1 = std::string("-Dcorvela.app-path=") + exeName;
    char arg2[] = "-classpath";
    char arg3[] = "app\\main.jar";
    char arg4[] = "app.Main";
    char* argv[] = {&arg0[0], &arg1[0], arg2, arg3, arg4, nullptr};
    const int result = launch(5, argv, 0, nullptr, 0, nullptr, "", "", "java", "java", 0, 0, 0, 0);
    FreeLibrary(jli);
    return result;
}

#endif

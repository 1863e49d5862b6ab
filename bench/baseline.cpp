// The least any launcher must do: load the runtime's launcher library by path and call
// JLI_Launch with a fixed argument list. The benchmark's yardstick.
//
// With BASELINE_LOAD_SHELL32 set it also loads shell32.dll (and with it user32.dll), the two
// libraries a launcher needs for CommandLineToArgvW and AllowSetForegroundWindow: that
// variant shows what those libraries cost at start-up on the platform at hand.

#include <windows.h>

#include <string>

typedef int (*JliLaunchFunc)(int, char**, int, const char**, int, const char**, const char*,
                             const char*, const char*, const char*, unsigned char, unsigned char,
                             unsigned char, int);

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    if (GetEnvironmentVariableW(L"BASELINE_LOAD_SHELL32", nullptr, 0) > 0 &&
        !LoadLibraryW(L"shell32.dll")) {
        return 1;
    }
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
    char arg0[] = "baseline.exe";
    char arg1[] = "-Dcorvela.app-path=baseline.exe";
    char arg2[] = "-classpath";
    char arg3[] = "app\\main.jar";
    char arg4[] = "app.Main";
    char* argv[] = {arg0, arg1, arg2, arg3, arg4, nullptr};
    const int result = launch(5, argv, 0, nullptr, 0, nullptr, "", "", "java", "java", 0, 0, 0, 0);
    FreeLibrary(jli);
    return result;
}

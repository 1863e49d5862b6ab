// The least any launcher must do: load the runtime's launcher library by path and call
// JLI_Launch with a fixed argument list. The benchmark's yardstick.
//
// With BASELINE_LOAD_SHELL32 set it also loads shell32.dll (and with it user32.dll): that
// variant shows what shell32 costs at start-up on the platform at hand, which the launchers
// do not pay (they split their command line themselves).

#include <windows.h>

#include "floor_launch.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    if (GetEnvironmentVariableW(L"BASELINE_LOAD_SHELL32", nullptr, 0) > 0 &&
        !LoadLibraryW(L"shell32.dll")) {
        return 1;
    }
    return launchRuntimeBesideExe("baseline.exe");
}

// Entry point of corvela.exe, the GUI launcher: failures shown in a message box as well.
#include <windows.h>

#include "WinLauncher.h"
#include "app.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    return app::wlaunch(std::nothrow, launchApp);
}

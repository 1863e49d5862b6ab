// The bridge runtime's bin\splashscreen.dll. A launcher loads it before the runtime when
// the application has a splash screen; the host's Java draws the splash itself, from the
// -splash: option the bridge hands it with the image's path made a Unix path. So the
// library only has to be there.

#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}

// Stand-in for a runtime library that the launcher only preloads (server\jvm.dll,
// splashscreen.dll): it records that it was loaded.

#include "record.h"

#ifndef STANDIN_NAME
#error STANDIN_NAME names the library
#endif

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        standin::Record record;
        record.line("loaded", STANDIN_NAME);
    }
    return TRUE;
}

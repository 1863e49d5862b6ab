// Stand-in for a Java server runtime's bin\jli.dll: JLI_Launch loads server\jvm.dll beside
// it, as a real launcher library does, and runs the server there (server_jvm.cpp). Like a
// real runtime, a server that ends with a non-zero status ends the process with it.

#include <windows.h>

#include <string>

extern "C" __declspec(dllexport) int JLI_Launch(int argc, char** argv, int, const char**, int,
                                                const char**, const char*, const char*, const char*,
                                                const char*, unsigned char, unsigned char,
                                                unsigned char, int) {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&JLI_Launch), &self);
    wchar_t path[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameW(self, path, MAX_PATH * 4);
    std::wstring dir(path, n);
    dir.resize(dir.find_last_of(L'\\') + 1);
    const HMODULE jvm = LoadLibraryW((dir + L"server\\jvm.dll").c_str());
    typedef int (*ServeFn)(int, char**);
    const ServeFn serve = jvm ? reinterpret_cast<ServeFn>(
                                    reinterpret_cast<void*>(GetProcAddress(jvm, "StandinServe")))
                              : nullptr;
    if (!serve) {
        return 1;
    }
    const int status = serve(argc, argv);
    if (status != 0) {
        ExitProcess(static_cast<UINT>(status));
    }
    return 0;
}

// Reads an executable's version information and icon the way Windows Explorer does, and
// prints them as UTF-8 "key=value" lines: the StringFileInfo values of 040904B0, the binary
// file and product versions, the translation, and the sizes of icon group 1.

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "TestSupport.h"

using testing_support::utf8;

namespace {

void printVersion(const char* key, DWORD ms, DWORD ls) {
    printf("%s=%lu.%lu.%lu.%lu\n", key, static_cast<unsigned long>(HIWORD(ms)),
           static_cast<unsigned long>(LOWORD(ms)), static_cast<unsigned long>(HIWORD(ls)),
           static_cast<unsigned long>(LOWORD(ls)));
}

int printVersionInfo(const wchar_t* path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) {
        printf("error=GetFileVersionInfoSize failed with %lu\n", GetLastError());
        return 1;
    }
    std::vector<char> data(size);
    if (!GetFileVersionInfoW(path, 0, size, data.data())) {
        printf("error=GetFileVersionInfo failed with %lu\n", GetLastError());
        return 1;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed) {
        printVersion("binary.FileVersion", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
        printVersion("binary.ProductVersion", fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    }
    WORD* translation = nullptr;
    if (VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation",
                       reinterpret_cast<void**>(&translation), &length) &&
        length >= 4) {
        printf("Translation=%04x%04x\n", translation[0], translation[1]);
    }
    for (const wchar_t* name :
         {L"CompanyName", L"FileDescription", L"FileVersion", L"InternalName", L"LegalCopyright",
          L"OriginalFilename", L"ProductName", L"ProductVersion"}) {
        wchar_t* value = nullptr;
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        if (VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &length)) {
            printf("%s=%s\n", utf8(name).c_str(), utf8(std::wstring(value)).c_str());
        }
    }
    return 0;
}

void printIcons(const wchar_t* path) {
    const HMODULE module = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) {
        printf("icon.error=LoadLibraryEx failed with %lu\n", GetLastError());
        return;
    }
    for (int size : {16, 32, 48, 256}) {
        const HANDLE icon = LoadImageW(module, MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, 0);
        printf("icon.%d=%s\n", size, icon ? "loaded" : "missing");
        if (icon) {
            DestroyIcon(static_cast<HICON>(icon));
        }
    }
    FreeLibrary(module);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: version_probe EXE\n");
        return 2;
    }
    const int result = printVersionInfo(argv[1]);
    printIcons(argv[1]);
    return result;
}

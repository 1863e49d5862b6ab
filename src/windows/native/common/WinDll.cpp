// Windows half of Dll.h: LoadLibrary, module references and GetProcAddress.
#include <windows.h>

#include "Dll.h"
#include "ErrorHandling.h"
#include "FileUtils.h"
#include "SysInfo.h"
#include "WindowsSupport.h"

namespace {

HMODULE loadLibrary(const tstring& path) {
    HMODULE module = LoadLibraryW(path.c_str());
    if (!module) {
        THROW_LAST_ERROR(&LoadLibraryW, L"LoadLibraryW(" << path << L") failed");
    }
    return module;
}

} // namespace

Dll::Dll(const tstrings::Builder& path) : thePath(path.tstr()), handle(loadLibrary(thePath)) {}

Dll::Dll(const tstrings::Builder& path, SysInfo::ModuleHandle loaded)
    : thePath(path.tstr()), handle(loaded) {}

Dll::Dll(const Dll& other) : thePath(other.thePath), handle(nullptr) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(0, thePath.c_str(), &module)) {
        THROW_LAST_ERROR(&GetModuleHandleExW, L"GetModuleHandleExW(" << thePath << L") failed");
    }
    handle = module;
}

Dll::~Dll() {
    if (handle) {
        FreeLibrary(handle);
    }
}

void* Dll::getFunction(const std::string& name) const {
    void* function = reinterpret_cast<void*>(GetProcAddress(handle, name.c_str()));
    if (!function) {
        THROW_LAST_ERROR(&GetProcAddress,
                         L"GetProcAddress(" << thePath << L", " << name << L") failed");
    }
    return function;
}

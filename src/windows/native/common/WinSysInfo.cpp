// Windows half of SysInfo.h: module paths, the command line, environment, system folder.
#include <windows.h>

#include <vector>

#include "CommandLine.h"
#include "ErrorHandling.h"
#include "FileUtils.h"
#include "SysInfo.h"
#include "WindowsSupport.h"

namespace {

tstring getModulePath(HMODULE module) {
    std::vector<wchar_t> buffer(MAX_PATH, L'\0');
    DWORD count = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    // A count equal to the size means the name was cut; there is no upper bound.
    while (count >= buffer.size()) {
        buffer.assign(buffer.size() * 2, L'\0');
        count = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    }
    if (count == 0) {
        THROW_LAST_ERROR(&GetModuleFileNameW, L"GetModuleFileName failed");
    }
    return tstring(buffer.data(), count);
}

tstring getEnvVariableImpl(const tstring& name, bool* errorOccurred) {
    std::vector<wchar_t> buffer(10, L'\0');
    SetLastError(ERROR_SUCCESS);
    DWORD size =
        GetEnvironmentVariableW(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    DWORD status = GetLastError();
    if (status == ERROR_ENVVAR_NOT_FOUND) {
        if (errorOccurred) {
            *errorOccurred = true;
            return tstring();
        }
        THROW_SYSTEM_ERROR_CODE(status, &GetEnvironmentVariableW,
                                L"GetEnvironmentVariable(" << name
                                                           << L") failed. Variable not set");
    }
    if (size > buffer.size()) {
        buffer.assign(size, L'\0');
        // A stale code from the first call must not read as a failure of the second.
        SetLastError(ERROR_SUCCESS);
        GetEnvironmentVariableW(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        status = GetLastError();
        if (status != ERROR_SUCCESS) {
            if (errorOccurred) {
                *errorOccurred = true;
                return tstring();
            }
            THROW_SYSTEM_ERROR_CODE(status, &GetEnvironmentVariableW,
                                    L"GetEnvironmentVariable(" << name << L") failed");
        }
    }
    if (errorOccurred) {
        *errorOccurred = false;
    }
    return tstring(buffer.data());
}

template <class SysDirFunc> tstring getSystemDirImpl(SysDirFunc func, const tstring& label) {
    std::vector<wchar_t> buffer(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const UINT size = func(buffer.data(), static_cast<UINT>(buffer.size()));
        if (size == 0) {
            THROW_LAST_ERROR(func, label << L" failed");
        }
        if (size < buffer.size()) {
            return FileUtils::stripTrailingSeparators(tstring(buffer.data()));
        }
        buffer.assign(size + 1, L'\0');
    }
    THROW_ERROR(LauncherError(
        (tstrings::Builder() << L"Unexpected reply from" << L" " << label).str()));
}

} // namespace

namespace SysInfo {

ModuleHandle getCurrentModuleHandle() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&getCurrentModuleHandle), &module)) {
        THROW_LAST_ERROR(&GetModuleHandleExW, L"GetModuleHandleExW failed");
    }
    return module;
}

tstring getCurrentModulePath() {
    return getModulePath(getCurrentModuleHandle());
}

tstring getProcessModulePath() {
    return FileUtils::toAbsolutePath(getModulePath(nullptr));
}

tstring_array getCommandArgs() {
    return CommandLine::arguments(GetCommandLineW());
}

tstring getEnvVariable(const tstring& name) {
    return getEnvVariableImpl(name, nullptr);
}

tstring getEnvVariable(const tstring& name, const tstring& defaultValue) {
    bool errorOccurred = false;
    const tstring value = getEnvVariableImpl(name, &errorOccurred);
    return errorOccurred ? defaultValue : value;
}

bool findEnvVariable(const tstring& name, tstring& value) {
    bool notSet = false;
    tstring found = getEnvVariableImpl(name, &notSet);
    if (notSet) {
        return false;
    }
    value.swap(found);
    return true;
}

void setEnvVariable(const tstring& name, const tstring& value) {
    if (!SetEnvironmentVariableW(name.c_str(), value.c_str())) {
        THROW_LAST_ERROR(&SetEnvironmentVariableW,
                         L"SetEnvironmentVariable(" << name << L", " << value << L") failed");
    }
}

tstring getSystemDirectory() {
    return getSystemDirImpl(&GetSystemDirectoryW, L"GetSystemDirectory");
}

} // namespace SysInfo

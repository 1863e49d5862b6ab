// Windows half of FileUtils.h: file existence, making directories and absolute paths.
#include <windows.h>

#include <cstdlib>
#include <direct.h>
#include <vector>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "WindowsSupport.h"

namespace FileUtils {

bool fileExists(const tstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void makeDirectory(const tstring& path) {
    if (CreateDirectoryW(path.c_str(), nullptr)) {
        return;
    }
    DWORD error = GetLastError();
    const tstring parent = FileUtils::dirname(path);
    if (error == ERROR_PATH_NOT_FOUND && !parent.empty() && parent != path) {
        makeDirectory(parent);
        if (CreateDirectoryW(path.c_str(), nullptr)) {
            return;
        }
        error = GetLastError();
    }
    if (error == ERROR_ALREADY_EXISTS) {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            return;
        }
        error = ERROR_DIRECTORY;
    }
    THROW_SYSTEM_ERROR_CODE(error, &CreateDirectoryW, L"CreateDirectory(" << path << L") failed");
}

tstring toAbsolutePath(const tstring& path) {
    if (path.empty()) {
        const UniqueMallocMemory<wchar_t> cwd(_wgetcwd(nullptr, 0));
        if (!cwd) {
            THROW_ERROR(LauncherError(joinMessages("_wgetcwd() failed", crtErrorText())));
        }
        const tstring result(cwd.get());
        if (result.empty()) {
            THROW_ERROR(LauncherError("_wgetcwd() returned an empty path"));
        }
        return result;
    }
    // GetFullPathNameW rather than _wfullpath: the C runtime's version gives up on paths of
    // MAX_PATH or more, and a launcher installed that deep must still find itself.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()),
                                              buffer.data(), nullptr);
        if (length == 0) {
            THROW_LAST_ERROR(&GetFullPathNameW, L"GetFullPathNameW(" << path << L") failed");
        }
        if (length < buffer.size()) {
            return tstring(buffer.data(), length);
        }
        buffer.resize(length);
    }
}

} // namespace FileUtils

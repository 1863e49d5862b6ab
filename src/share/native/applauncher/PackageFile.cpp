// Package file: the first line of app\.package names the installed package.
#include "PackageFile.h"

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "Log.h"
#include "TextFile.h"

PackageFile PackageFile::loadFromAppDir(const tstring& appDir) {
    PackageFile result;
    const tstring path = FileUtils::mkpath() << appDir << L".package";
    if (!FileUtils::fileExists(path)) {
        return result;
    }
    LOG_TRACE(L"Read \"" << path << L"\" package file");

    TextFile file(path);
    if (!file.isOpen()) {
        THROW_ERROR(LauncherError(fileOpenError(path)));
    }
    std::string line;
    if (file.nextLine(line)) {
        result.name = tstrings::fromUtf8(line);
        LOG_TRACE(L"Package name is [" << result.name << L"]");
    }
    return result;
}

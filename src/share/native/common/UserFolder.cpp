// The user's own folder of an image (UserFolder.h): the one rule for where it is.
#include "UserFolder.h"

#include "FileUtils.h"
#include "SysInfo.h"

namespace {

tstring under(const wchar_t* root, const tstring& owner, const tstring& folder) {
    tstring rootDir;
    if (!SysInfo::findEnvVariable(root, rootDir) || rootDir.empty()) {
        return tstring();
    }
    FileUtils::mkpath path;
    path << rootDir << owner;
    if (!folder.empty()) {
        path << folder;
    }
    return path;
}

} // namespace

namespace UserFolder {

const char* const unsetReason = "LOCALAPPDATA is not set";

tstring local(const tstring& owner, const tstring& folder) {
    return under(L"LOCALAPPDATA", owner, folder);
}

tstring roaming(const tstring& owner) {
    return under(L"APPDATA", owner, tstring());
}

} // namespace UserFolder

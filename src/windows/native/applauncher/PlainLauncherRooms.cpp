// The plain launchers' side of the rooms only the full launchers have: an error when asked.
//
// Staged updates and the search for an installed Java are linked into corvela-full.exe and
// corvela-console-full.exe only; the plain launchers link these in their place, and stay
// small for the many images that use neither. corvela-image gives an image that uses them
// the full launcher, so these speak only to an image put together otherwise.
#include "AppImage.h"
#include "CfgFile.h"
#include "ErrorHandling.h"
#include "RuntimeSearch.h"
#include "StagedUpdate.h"
#include "SysInfo.h"

namespace {

[[noreturn]] void failWithout(const tstring& room, const tstring& askedBy) {
    THROW_ERROR(LauncherError(
        (tstrings::Builder()
         << SysInfo::getProcessModulePath() << L" is a launcher without " << room << L", which "
         << askedBy
         << L" asks for: rebuild the image with corvela-image, which gives an image that uses "
            L"it the full launcher")
            .str()));
}

} // namespace

namespace StagedUpdate {

bool applyAtStart(const AppImage&, const CfgFile& cfg) {
    tstring key;
    if (cfg.findValue(PropertyName::updateKey, key)) {
        failWithout(L"staged updates", (tstrings::Builder()
                                        << L"\"" << PropertyName::updateKey.name()
                                        << L"\" in its configuration")
                                           .tstr());
    }
    return false;
}

} // namespace StagedUpdate

namespace RuntimeSearch {

tstring findInstalled(const VersionRange&, const tstring&) {
    failWithout(L"the search for an installed Java",
                L"an image without a runtime of its own");
}

} // namespace RuntimeSearch

// The application's working directory (WorkingDir.h): made when missing, and entered.
#include <windows.h>

#include "CfgFile.h"
#include "ErrorHandling.h"
#include "Launch.h"
#include "Log.h"
#include "FileUtils.h"
#include "WindowsSupport.h"
#include "WorkingDir.h"

namespace WorkingDir {

void enter(const tstring& dir, const tstring& origin) {
    try {
        FileUtils::makeDirectory(dir);
    } catch (const CvErrorBase& e) {
        THROW_ERROR(LauncherError((tstrings::Builder()
                                        << L"Cannot make the working directory " << dir
                                        << L" (" << origin << L"): " << e.bareMessage())
                                           .str()));
    }
    if (!SetCurrentDirectoryW(dir.c_str())) {
        THROW_LAST_ERROR(&SetCurrentDirectoryW, L"SetCurrentDirectory("
                                                    << dir << L") of " << origin << L" failed");
    }
    LOG_TRACE(L"Working directory: " << dir << L" (" << origin << L")");
}

void applyConfigured(const Launch& launch) {
    const PropertyMap& app = launch.cfg.sectionProperties(SectionName::Application);
    const PropertyMap::const_iterator entry = app.find(PropertyName::workingDir);
    if (entry == app.end() || entry->second.empty() || lastValue(entry->second).empty()) {
        return;
    }
    enter(lastValue(entry->second), L"app.working-dir in [Application]");
}

} // namespace WorkingDir

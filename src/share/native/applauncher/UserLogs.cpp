// An image's logs for its user: where they go, and the JVM's fatal error log among them.
#include "UserLogs.h"

#include "AppImage.h"
#include "CfgFile.h"
#include "ErrorHandling.h"
#include "FileUtils.h"
#include "JvmLauncher.h"
#include "Launch.h"
#include "LauncherLog.h"
#include "Log.h"
#include "LogFile.h"
#include "SysInfo.h"

namespace {

const tstring errorFileOption = L"-XX:ErrorFile=";

bool configurationSetsErrorFile(const CfgFile& cfg) {
    const PropertyMap& options = cfg.sectionProperties(SectionName::JavaOptions);
    const auto it = options.find(PropertyName::javaOptions);
    if (it == options.end()) {
        return false;
    }
    for (const tstring& option : it->second) {
        if (tstrings::startsWith(option, errorFileOption)) {
            return true;
        }
    }
    return false;
}

} // namespace

void placeLauncherLog(const AppImage& image) {
    const bool installed = !image.packageName().empty();
    LauncherLog::useDirectory(
        LauncherLog::logsDirFor(installed ? image.packageName() : image.launcherName()), installed);
}

void addJvmErrorFile(const Launch& launch) {
    if (launch.image.packageName().empty()) {
        return;
    }
    if (configurationSetsErrorFile(launch.cfg)) {
        LOG_TRACE(L"The configuration names the JVM's error file");
        return;
    }
    const tstring dir = LauncherLog::logsDirFor(launch.image.packageName());
    if (dir.empty()) {
        LOG_TRACE(L"No logs directory for the JVM's error file: LOCALAPPDATA is not set");
        return;
    }
    try {
        LogFile::makeDirectory(dir);
    } catch (const CvErrorBase& e) {
        // The JVM then writes where it always did; the launch goes on.
        LOG_TRACE(L"No logs directory for the JVM's error file: " << e.bareMessage());
        return;
    }
    const tstring errorFile = FileUtils::mkpath() << dir << L"hs_err_pid%p.log";
    launch.jvm.addOption(errorFileOption + errorFile);
}

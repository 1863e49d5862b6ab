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
#include "UserFolder.h"

namespace {

const tstring errorFileOption = L"-XX:ErrorFile=";

bool configurationSetsErrorFile(const CfgFile& cfg) {
    for (const tstring& option : cfg.values(SectionName::JavaOptions, PropertyName::javaOptions)) {
        if (tstrings::startsWith(option, errorFileOption)) {
            return true;
        }
    }
    return false;
}

} // namespace

void placeLauncherLog(const AppImage& image) {
    LauncherLog::useDirectory(image.userDir(LauncherLog::logsFolder),
                              !image.packageName().empty());
}

void addJvmErrorFile(const Launch& launch) {
    if (launch.image.packageName().empty()) {
        return;
    }
    if (configurationSetsErrorFile(launch.cfg)) {
        LOG_TRACE(L"The configuration names the JVM's error file");
        return;
    }
    const tstring dir = launch.image.userDir(LauncherLog::logsFolder);
    if (dir.empty()) {
        LOG_TRACE(L"No logs directory for the JVM's error file: " << UserFolder::unsetReason);
        return;
    }
    try {
        FileUtils::makeDirectory(dir);
    } catch (const CvErrorBase& e) {
        // The JVM then writes where it always did; the launch goes on.
        LOG_TRACE(L"No logs directory for the JVM's error file: " << e.bareMessage());
        return;
    }
    const tstring errorFile = FileUtils::mkpath() << dir << L"hs_err_pid%p.log";
    launch.jvm.addOption(errorFileOption + errorFile);
}

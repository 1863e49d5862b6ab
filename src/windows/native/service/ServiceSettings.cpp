// A service launcher's settings from the configuration (ServiceSettings.h).
#include "ServiceSettings.h"

#include <cwchar>

#include "AppImage.h"
#include "CfgFile.h"
#include "ErrorHandling.h"
#include "FileUtils.h"
#include "SysInfo.h"

namespace {

bool lookup(const CfgFile& cfg, const PropertyKey& key, tstring& value) {
    return cfg.findValue(key, value);
}

// A whole number from `min` up, digits only: "20 s", "-1" or "" would hide a typing error.
unsigned long long wholeNumber(const CfgFile& cfg, const PropertyKey& key, unsigned long long min,
                               unsigned long long defaultValue) {
    tstring text;
    if (!lookup(cfg, key, text)) {
        return defaultValue;
    }
    unsigned long long value = 0;
    bool valid = !text.empty() && text.size() <= 18;
    for (const wchar_t c : text) {
        valid = valid && c >= L'0' && c <= L'9';
        value = value * 10 + static_cast<unsigned>(c - L'0');
    }
    if (!valid || value < min) {
        THROW_ERROR(LauncherError((tstrings::Builder()
                                        << L"Invalid value \"" << text << L"\" of " << key.name()
                                        << L" in [Application]: a whole number from " << min
                                        << L" is expected")
                                           .str()));
    }
    return value;
}

// %ProgramData%\VENDOR\NAME\<folder>, or %ProgramData%\NAME\<folder> without a vendor.
tstring serviceFolder(const CfgFile& cfg, const AppImage& image, const wchar_t* folder,
                      const char* configuredBy) {
    const tstring programData = SysInfo::getEnvVariable(L"ProgramData", tstring());
    if (programData.empty()) {
        THROW_ERROR(LauncherError(std::string("ProgramData is not set: name the ") +
                                       configuredBy + " in [Application]"));
    }
    tstring vendor;
    FileUtils::mkpath dir;
    dir << programData;
    if (lookup(cfg, PropertyName::vendor, vendor) && !vendor.empty()) {
        dir << vendor;
    }
    return dir << image.launcherName() << folder;
}

} // namespace

ServiceSettings ServiceSettings::defaults(const CfgFile& cfg, const AppImage& image) {
    ServiceSettings settings;
    if (!lookup(cfg, PropertyName::logDir, settings.logDir) || settings.logDir.empty()) {
        settings.logDir =
            serviceFolder(cfg, image, L"logs", "log directory with app.log-dir");
    }
    return settings;
}

ServiceSettings ServiceSettings::read(const CfgFile& cfg, const AppImage& image) {
    ServiceSettings settings = defaults(cfg, image);
    if ((!lookup(cfg, PropertyName::workingDir, settings.workDir) || settings.workDir.empty()) &&
        !SysInfo::getEnvVariable(L"ProgramData", tstring()).empty()) {
        settings.workDir =
            serviceFolder(cfg, image, L"work", "working directory with app.working-dir");
    }
    settings.stopTimeoutSeconds = static_cast<unsigned long>(
        wholeNumber(cfg, PropertyName::serviceStopTimeout, 1, settings.stopTimeoutSeconds));
    settings.logMaxSize = wholeNumber(cfg, PropertyName::logMaxSize, 1, settings.logMaxSize);
    settings.logKeep =
        static_cast<unsigned long>(wholeNumber(cfg, PropertyName::logKeep, 0, settings.logKeep));
    return settings;
}

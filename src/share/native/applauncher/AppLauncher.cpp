// Application launcher: picks the configuration file, finds the runtime, builds the Jvm.
#include "AppLauncher.h"

#include "CfgFile.h"
#include "ErrorHandling.h"
#include "FileUtils.h"
#include "JvmLauncher.h"
#include "Log.h"
#include "SysInfo.h"

namespace {

// The longest value Windows lets an environment variable hold (32,767 characters with the
// terminating zero).
const size_t maxEnvVariableLength = 32766;

tstring findJvmLib(const CfgFile& cfg, const tstring& defaultRuntimeDir,
                   const tstring_array& candidates) {
    tstring runtimeDir;
    if (!cfg.findValue(PropertyName::runtime, runtimeDir)) {
        runtimeDir = defaultRuntimeDir;
        LOG_TRACE(L"Property \"" << PropertyName::runtime.name() << L"\" not found in \""
                                 << SectionName::Application.name()
                                 << L"\" section of launcher config file."
                                 << L" Using Java runtime from \"" << runtimeDir
                                 << L"\" directory");
    }
    for (const tstring& candidate : candidates) {
        const tstring path = FileUtils::mkpath() << runtimeDir << candidate;
        if (FileUtils::fileExists(path)) {
            return path;
        }
    }
    THROW_ERROR(LauncherError(
        (tstrings::Builder() << L"Failed to find JVM in \"" << runtimeDir << L"\" directory.")
            .str()));
}

} // namespace

SearchPathVariable::SearchPathVariable(const tstring& varName, const tstring& value,
                                       const tstring& appDir)
    : theVarName(varName), theValue(value), theAppDir(appDir), listed(false) {
    const tstring wanted = tstrings::toLower(appDir);
    for (const tstring& piece : tstrings::split(tstrings::toLower(value), L";")) {
        if (piece == wanted) {
            listed = true;
            return;
        }
    }
}

tstring SearchPathVariable::extendedValue() const {
    const tstring value = theValue + L";" + theAppDir;
    // Caught before any restart: past the limit the system would refuse the value, or the
    // child would get a list without the application directory.
    if (value.size() > maxEnvVariableLength) {
        THROW_ERROR(LauncherError(
            (tstrings::Builder() << L"Cannot add the application directory to " << theVarName
                                 << L": the value would be " << value.size()
                                 << L" characters long, more than the " << maxEnvVariableLength
                                 << L" an environment variable can hold")
                .str()));
    }
    return value;
}

AppLauncher::AppLauncher() : commandArgs(SysInfo::getCommandArgs()) {}

tstring AppLauncher::getCfgFilePath() const {
    const tstring fileName =
        FileUtils::stripExtension(FileUtils::basename(executablePath)) + L".cfg";
    for (const tstring& dir : cfgLookupDirs) {
        const tstring candidate = FileUtils::mkpath() << dir << fileName;
        LOG_TRACE(L"Check [" << candidate << L"] file exists");
        if (FileUtils::fileExists(candidate)) {
            return candidate;
        }
    }
    return FileUtils::mkpath() << appDir << fileName;
}

SearchPathVariable AppLauncher::searchPathVariable() const {
    return SearchPathVariable(searchPathVarName,
                              SysInfo::getEnvVariable(searchPathVarName, tstring()), appDir);
}

CfgFile AppLauncher::loadCfgFile() const {
    const tstring cfgFilePath = getCfgFilePath();
    LOG_TRACE(L"Launcher config file path: \"" << cfgFilePath << L"\"");

    MacroMap macros;
    macros[L"$APPDIR"] = appDir;
    macros[L"$BINDIR"] = FileUtils::dirname(executablePath);
    macros[L"$ROOTDIR"] = imageRootDir;

    // The environment after the path macros: a variable's value is taken as it is, even
    // when it holds a macro's name.
    CfgFile cfg = CfgFile::load(cfgFilePath).withMacrosExpanded(macros).withEnvironmentExpanded();
    if (!commandArgs.empty()) {
        // Put in after expansion: arguments from the user are never expanded.
        cfg.replaceProperty(SectionName::ArgOptions, PropertyName::arguments, commandArgs);
    }
    return cfg;
}

tstring AppLauncher::findJvmLib(const CfgFile& cfg) const {
    return ::findJvmLib(cfg, defaultRuntimeDir, jvmLibRelativePaths);
}

std::unique_ptr<Jvm> AppLauncher::createJvmLauncher(const CfgFile& cfg) const {
    std::unique_ptr<Jvm> jvm(new Jvm());
    jvm->setLibraryPath(findJvmLib(cfg));
    jvm->appendArgument(executablePath);
    jvm->initFromConfigFile(cfg, executablePath);
    return jvm;
}

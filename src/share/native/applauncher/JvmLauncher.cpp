// JVM launcher: the argument list from the configuration, and the call into the runtime.
#include "JvmLauncher.h"

#include <cstdlib>
#include <memory>

#include "CfgFile.h"
#include "Dll.h"
#include "ErrorHandling.h"
#include "FileUtils.h"
#include "Log.h"
#include "UniqueResource.h"

Jvm::Jvm() {
    LOG_TRACE(L"Jvm(" << static_cast<const void*>(this) << L")::Jvm()");
}

Jvm::~Jvm() {
    try {
        LOG_TRACE(L"Jvm(" << static_cast<const void*>(this) << L")::~Jvm()");
    }
    CATCH_AND_LOG
}

Jvm& Jvm::initFromConfigFile(const CfgFile& cfg, const tstring& launcherPath) {
    for (const tstring& value : cfg.values(SectionName::Application, PropertyName::modulepath)) {
        appendArgument(L"--module-path").appendArgument(value);
    }
    const tstring_array& classPath = cfg.values(SectionName::Application, PropertyName::classpath);
    if (!classPath.empty()) {
        appendArgument(L"-classpath").appendArgument(joinedValues(classPath));
    }
    tstring value;
    if (cfg.findValue(PropertyName::splash, value)) {
        if (FileUtils::fileExists(value)) {
            appendArgument(L"-splash:" + value);
        } else {
            LOG_WARNING(L"Splash property ignored. File \"" << value << L"\" not found");
        }
    }
    for (const tstring& option : cfg.values(SectionName::JavaOptions, PropertyName::javaOptions)) {
        appendArgument(option);
    }
    appendArgument(L"-Dcorvela.app-path=" + launcherPath);
    optionsEnd = jvmArgs.size();
    if (cfg.findValue(PropertyName::mainmodule, value)) {
        appendArgument(L"-m").appendArgument(value);
    }
    if (cfg.findValue(PropertyName::mainclass, value)) {
        appendArgument(value);
    }
    if (cfg.findValue(PropertyName::mainjar, value)) {
        appendArgument(L"-jar").appendArgument(value);
    }
    for (const tstring& arg : cfg.values(SectionName::ArgOptions, PropertyName::arguments)) {
        appendArgument(arg);
    }
    return *this;
}

bool Jvm::hasSplashOption() const {
    for (const tstring& arg : jvmArgs) {
        if (tstrings::startsWith(arg, L"-splash:")) {
            return true;
        }
    }
    return false;
}

tstring_array Jvm::options() const {
    if (optionsEnd <= 1) {
        return tstring_array();
    }
    return tstring_array(jvmArgs.begin() + 1,
                         jvmArgs.begin() + static_cast<std::ptrdiff_t>(optionsEnd));
}

Jvm& Jvm::addOption(const tstring& option) {
    jvmArgs.insert(jvmArgs.begin() + static_cast<std::ptrdiff_t>(optionsEnd), option);
    ++optionsEnd;
    return *this;
}

void Jvm::launch() {
    const UniqueMallocMemory<JvmlLauncherData> data(makeJvmlLauncherData(
        jvmLauncherGetAPI(), new JliLaunchData(theLibraryPath, jvmArgs, envNames, envValues),
        nullptr));
    if (!data) {
        // The reason is in the error record of the table function that failed.
        THROW_ERROR(LauncherError("Failed to prepare the JVM launch data"));
    }

    LOG_TRACE(L"JVM library: \"" << theLibraryPath << L"\"");

    const DllFunction<void*> jliLaunch(Dll(tstrings::Builder() << theLibraryPath),
                                       tstrings::Builder() << L"JLI_Launch");
    if (startJvm(data.get(), jliLaunch) != 0) {
        THROW_ERROR(LauncherError("Failed to launch JVM"));
    }
}

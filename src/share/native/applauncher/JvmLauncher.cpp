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

namespace {

const tstring_array* find(const PropertyMap& map, const PropertyKey& key) {
    const auto it = map.find(key);
    return it == map.end() ? nullptr : &it->second;
}

} // namespace

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
    const PropertyMap& app = cfg.sectionProperties(SectionName::Application);

    if (const tstring_array* modulePath = find(app, PropertyName::modulepath)) {
        for (const tstring& value : *modulePath) {
            appendArgument(L"--module-path").appendArgument(value);
        }
    }
    if (const tstring_array* classPath = find(app, PropertyName::classpath)) {
        appendArgument(L"-classpath").appendArgument(joinedValues(*classPath));
    }
    if (const tstring_array* splash = find(app, PropertyName::splash)) {
        const tstring splashPath = lastValue(*splash);
        if (FileUtils::fileExists(splashPath)) {
            appendArgument(L"-splash:" + splashPath);
        } else {
            LOG_WARNING(L"Splash property ignored. File \"" << splashPath << L"\" not found");
        }
    }
    if (const tstring_array* options =
            find(cfg.sectionProperties(SectionName::JavaOptions), PropertyName::javaOptions)) {
        for (const tstring& option : *options) {
            appendArgument(option);
        }
    }
    appendArgument(L"-Dcorvela.app-path=" + launcherPath);
    optionsEnd = jvmArgs.size();
    if (const tstring_array* mainModule = find(app, PropertyName::mainmodule)) {
        appendArgument(L"-m").appendArgument(lastValue(*mainModule));
    }
    if (const tstring_array* mainClass = find(app, PropertyName::mainclass)) {
        appendArgument(lastValue(*mainClass));
    }
    if (const tstring_array* mainJar = find(app, PropertyName::mainjar)) {
        appendArgument(L"-jar").appendArgument(lastValue(*mainJar));
    }
    if (const tstring_array* args =
            find(cfg.sectionProperties(SectionName::ArgOptions), PropertyName::arguments)) {
        for (const tstring& arg : *args) {
            appendArgument(arg);
        }
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
        THROW_ERROR(std::runtime_error("Failed to prepare the JVM launch data"));
    }

    LOG_TRACE(L"JVM library: \"" << theLibraryPath << L"\"");

    const DllFunction<void*> jliLaunch(Dll(tstrings::Builder() << theLibraryPath),
                                       tstrings::Builder() << L"JLI_Launch");
    if (startJvm(data.get(), jliLaunch) != 0) {
        THROW_ERROR(std::runtime_error("Failed to launch JVM"));
    }
}

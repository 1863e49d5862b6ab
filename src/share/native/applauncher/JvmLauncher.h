// JVM launcher, and the launch data block with the exported table that builds it.
#ifndef CORVELA_JVMLAUNCHER_H
#define CORVELA_JVMLAUNCHER_H

#include <cstdint>

#include "tstrings.h"

class CfgFile;

// Knows how the Java runtime is to be started: its launcher library, the argument list and
// the environment to set first.
class Jvm {
public:
    Jvm();
    ~Jvm();

    Jvm(const Jvm&) = delete;
    Jvm& operator=(const Jvm&) = delete;

    // The argument list the configuration describes, for the given launcher executable.
    Jvm& initFromConfigFile(const CfgFile& cfgFile, const tstring& launcherPath);

    // The runtime's launcher library, "bin\\jli.dll" of the runtime.
    Jvm& setLibraryPath(const tstring& path) {
        theLibraryPath = path;
        return *this;
    }
    Jvm& appendArgument(const tstring& value) {
        jvmArgs.push_back(value);
        return *this;
    }
    // A JVM option of the launch's own steps: after every option the configuration gives,
    // before the main module, class or jar. In the order added.
    Jvm& addOption(const tstring& option);
    Jvm& addEnvironmentVariable(const tstring& name, const tstring& value) {
        envNames.push_back(name);
        envValues.push_back(value);
        return *this;
    }

    const tstring& libraryPath() const { return theLibraryPath; }
    const tstring_array& getArguments() const { return jvmArgs; }
    // The JVM options so far: after the launcher's path, before the main module, class or jar.
    tstring_array options() const;

    bool hasSplashOption() const;
    void launch();

private:
    tstring theLibraryPath;
    tstring_array jvmArgs;
    // Where addOption inserts: the end of the options, once the configuration is in.
    size_t optionsEnd = 0;
    tstring_array envNames;
    tstring_array envValues;
};

// The block handed to the Java runtime: 40-byte header, then the library path, the argument
// array and strings, and the environment arrays and strings, packed. Every pointer points
// into the block itself.
struct JvmlLauncherData {
    char* libraryPath;
    std::int32_t argCount;
    std::int32_t envCount;
    char** argValues;
    wchar_t** envNameValues;
    wchar_t** envValueValues;
};

typedef void* JvmlLauncherHandle;

struct JvmlLauncherAPI {
    void (*closeHandle)(JvmlLauncherHandle);
    std::int32_t (*getJvmlLauncherDataSize)(JvmlLauncherHandle);
    JvmlLauncherData* (*initJvmlLauncherData)(JvmlLauncherHandle, void* buffer,
                                              std::int32_t bufferSize);
};

// The object behind a launcher handle.
class JliLaunchData {
public:
    JliLaunchData(const tstring& libraryPath, const tstring_array& args,
                  const tstring_array& envNames, const tstring_array& envValues);

    // With a null buffer only counts; returns the block size either way.
    std::int32_t initJvmlLauncherData(JvmlLauncherData* buffer) const;

private:
    std::string libraryPath;
    std::vector<std::string> argList;
    tstring_array envNames;
    tstring_array envValues;
};

// Adds up the size of a launch data block in 64 bits; the block must stay below 2 GiB
// because its size travels as a signed 32-bit integer.
class JvmlLauncherDataSize {
public:
    JvmlLauncherDataSize& add(std::uint64_t bytes);
    std::uint64_t value() const { return total; }
    // Raises when the total does not fit.
    std::int32_t checked() const;

private:
    std::uint64_t total = 0;
};

// Consumes the handle (releases it through the table) whatever the outcome. The block is
// allocated with malloc and is the caller's to free; null on failure.
JvmlLauncherData* makeJvmlLauncherData(const JvmlLauncherAPI* api, JvmlLauncherHandle handle,
                                       std::int32_t* size);

extern "C" {

#ifdef _WIN32
__declspec(dllexport)
#endif
    const JvmlLauncherAPI* jvmLauncherGetAPI(void);

int startJvm(const JvmlLauncherData* data, void* launchFunc);

void debugPrintf(const char* format, ...);
}

#endif

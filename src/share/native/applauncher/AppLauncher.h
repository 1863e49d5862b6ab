// Application launcher: from the image layout and configuration to a filled Jvm.
#ifndef CORVELA_APPLAUNCHER_H
#define CORVELA_APPLAUNCHER_H

#include <memory>

#include "tstrings.h"

class CfgFile;
class Jvm;

// The search-path variable as an image needs it: whether it lists the application
// directory, and the value that lists it. Decided once per launch.
class SearchPathVariable {
public:
    SearchPathVariable(const tstring& varName, const tstring& value, const tstring& appDir);

    const tstring& varName() const { return theVarName; }
    bool listsAppDir() const { return listed; }
    // The current value with the application directory appended; raises when the system
    // would refuse a value that long.
    tstring extendedValue() const;

private:
    tstring theVarName;
    tstring theValue;
    tstring theAppDir;
    bool listed;
};

// Turns the layout of an application image into its configuration and a ready Jvm.
class AppLauncher {
public:
    AppLauncher();

    AppLauncher& setExecutablePath(const tstring& v) {
        executablePath = v;
        return *this;
    }
    AppLauncher& setImageRootDir(const tstring& v) {
        imageRootDir = v;
        return *this;
    }
    AppLauncher& setDefaultRuntimeDir(const tstring& v) {
        defaultRuntimeDir = v;
        return *this;
    }
    AppLauncher& setAppDir(const tstring& v) {
        appDir = v;
        return *this;
    }
    AppLauncher& setSearchPathVarName(const tstring& v) {
        searchPathVarName = v;
        return *this;
    }
    AppLauncher& addJvmLibRelativePath(const tstring& v) {
        jvmLibRelativePaths.push_back(v);
        return *this;
    }
    AppLauncher& addCfgLookupDir(const tstring& v) {
        cfgLookupDirs.push_back(v);
        return *this;
    }

    tstring getCfgFilePath() const;
    SearchPathVariable searchPathVariable() const;
    // The chosen configuration file with its macros expanded and the command-line
    // arguments, when there are any, in place of the configured ones.
    CfgFile loadCfgFile() const;
    // The runtime's launcher library; raises when the runtime has none.
    tstring findJvmLib(const CfgFile& cfg) const;
    std::unique_ptr<Jvm> createJvmLauncher(const CfgFile& cfg) const;

private:
    tstring_array commandArgs;
    tstring executablePath;
    tstring defaultRuntimeDir;
    tstring appDir;
    tstring searchPathVarName;
    tstring imageRootDir;
    tstring_array jvmLibRelativePaths;
    tstring_array cfgLookupDirs;
};

#endif

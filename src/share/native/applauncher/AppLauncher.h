// Application launcher: from the image layout and configuration to a filled Jvm.
#ifndef CORVELA_APPLAUNCHER_H
#define CORVELA_APPLAUNCHER_H

#include <memory>

#include "tstrings.h"

class Jvm;

// Turns the layout of an application image into a ready Jvm.
class AppLauncher {
public:
    AppLauncher();

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
    bool searchPathListsAppDir() const;
    std::unique_ptr<Jvm> createJvmLauncher() const;

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

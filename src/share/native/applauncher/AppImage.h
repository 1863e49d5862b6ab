// Application image: where the launcher, its application and its runtime are, and the
// package it was installed as. Read once per launch and handed to every step.
#ifndef CORVELA_APPIMAGE_H
#define CORVELA_APPIMAGE_H

#include "tstrings.h"

class AppImage {
public:
    // The image around the given launcher executable; reads the package file of its
    // application directory.
    static AppImage ofLauncher(const tstring& launcherPath);

    // The launcher executable itself, absolute.
    const tstring& launcherPath() const { return theLauncherPath; }
    // Its file name without the extension: the name its configuration file carries.
    tstring launcherName() const;
    const tstring& rootDir() const { return theRootDir; }
    const tstring& appDir() const { return theAppDir; }
    const tstring& defaultRuntimeDir() const { return theDefaultRuntimeDir; }
    // The installed package's name; empty for an image that was not installed.
    const tstring& packageName() const { return thePackageName; }

    // The user's own folder of this image, %LOCALAPPDATA%\<package, or launcher name without
    // one>, or a folder in it by name ("logs"); empty when LOCALAPPDATA is not set
    // (UserFolder.h says what a step does then). Made by the step that writes there.
    tstring userDir(const tstring& folder = tstring()) const;
    // Where an installed image looks for a user's own copy of one of its files, in order:
    // the package's folder under LOCALAPPDATA, then under APPDATA, each where its variable
    // is set. None for an image without a package.
    tstring_array userCopyDirs() const;

private:
    tstring theLauncherPath;
    tstring theRootDir;
    tstring theAppDir;
    tstring theDefaultRuntimeDir;
    tstring thePackageName;
};

#endif

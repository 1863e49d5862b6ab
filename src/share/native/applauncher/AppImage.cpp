// Application image: the layout around the launcher and the package it belongs to.
#include "AppImage.h"

#include "FileUtils.h"
#include "PackageFile.h"
#include "UserFolder.h"

AppImage AppImage::ofLauncher(const tstring& launcherPath) {
    AppImage image;
    image.theLauncherPath = launcherPath;
    image.theRootDir = FileUtils::dirname(launcherPath);
    image.theAppDir = FileUtils::mkpath() << image.theRootDir << L"app";
    image.theDefaultRuntimeDir = FileUtils::mkpath() << image.theRootDir << L"runtime";
    image.thePackageName = PackageFile::loadFromAppDir(image.theAppDir).packageName();
    return image;
}

tstring AppImage::launcherName() const {
    return FileUtils::stripExtension(FileUtils::basename(theLauncherPath));
}

tstring AppImage::userDir(const tstring& folder) const {
    return UserFolder::local(thePackageName.empty() ? launcherName() : thePackageName, folder);
}

tstring_array AppImage::userCopyDirs() const {
    tstring_array dirs;
    if (thePackageName.empty()) {
        return dirs;
    }
    for (const tstring& dir :
         {UserFolder::local(thePackageName), UserFolder::roaming(thePackageName)}) {
        if (!dir.empty()) {
            dirs.push_back(dir);
        }
    }
    return dirs;
}

// Package file: the name of the installed package, for the per-user configuration.
#ifndef CORVELA_PACKAGEFILE_H
#define CORVELA_PACKAGEFILE_H

#include "tstrings.h"

// The ".package" file of an application directory: one line naming the installed package.
class PackageFile {
public:
    static PackageFile loadFromAppDir(const tstring& appDir);

    const tstring& packageName() const { return name; }

private:
    tstring name;
};

#endif

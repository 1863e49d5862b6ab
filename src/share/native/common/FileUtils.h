// File and path utilities: path text, the path builder, and file system queries.
#ifndef CORVELA_FILEUTILS_H
#define CORVELA_FILEUTILS_H

#include "tstrings.h"

namespace FileUtils {

// Both '\' and '/' separate components; only '\' is ever written.
bool isDirSeparator(wchar_t c);

tstring basename(const tstring& path);
tstring dirname(const tstring& path);
tstring combinePath(const tstring& path, const tstring& component);
tstring stripTrailingSeparators(const tstring& path);
tstring stripExtension(const tstring& path);

// Platform half.
bool fileExists(const tstring& path);
// Makes the directory and every missing one above it; an existing directory is fine, a file
// of that name is not. Raises naming the directory it could not make.
void makeDirectory(const tstring& path);
tstring toAbsolutePath(const tstring& path);

class mkpath {
public:
    mkpath& operator<<(const tstring& component) {
        path = combinePath(path, component);
        return *this;
    }
    operator tstring() const { return path; }

private:
    tstring path;
};

} // namespace FileUtils

#endif

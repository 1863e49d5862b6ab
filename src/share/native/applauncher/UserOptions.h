// Per-user JVM options: the user's own <launcher name>.vmoptions, added after the vendor's.
#ifndef CORVELA_USEROPTIONS_H
#define CORVELA_USEROPTIONS_H

#include "tstrings.h"

class AppImage;
class Jvm;

// What a user tunes without copying the whole configuration: a copy would hide every change
// of the next version, while this file only adds to it. One option per line, "#" starts a
// comment line, blank lines are ignored, UTF-8 with or without a byte-order mark. Options
// that would replace the application (its jar, class or module path, main module, splash
// screen) are refused.
class UserOptions {
public:
    // The file of an installed image: <launcher name>.vmoptions in the package's directory
    // under LOCALAPPDATA, else under APPDATA. None for an image without a package. Raises,
    // naming the file and the line, for a line it refuses.
    static UserOptions of(const AppImage& image);
    // One file, which must exist.
    static UserOptions read(const tstring& path);

    const tstring_array& options() const { return theOptions; }
    // After the configured options, so that for options where the last one wins the user's
    // does.
    void addTo(Jvm& jvm) const;

private:
    tstring_array theOptions;
};

#endif

// A staged version's feed as the launcher reads it (once its signature is checked): the
// product, the version and every file of the image with its hash and size.
#ifndef CORVELA_UPDATEFEED_H
#define CORVELA_UPDATEFEED_H

#include <cstdint>
#include <string>
#include <vector>

#include "tstrings.h"

struct UpdateFeedFile {
    tstring path; // relative to the image root, with backslashes
    std::string sha256;
    std::uint64_t size;
};

struct UpdateFeed {
    tstring product;
    tstring version;
    std::vector<UpdateFeedFile> files;

    // The feed in `json` (UTF-8, format 1); raises naming `where` when it is not one, or when
    // a path could leave the image (absolute, "..", a drive).
    static UpdateFeed parse(const std::string& json, const tstring& where);
};

// Orders dotted versions number by number ("1.10" after "1.9"); raises for anything else.
int compareVersions(const tstring& a, const tstring& b);

#endif

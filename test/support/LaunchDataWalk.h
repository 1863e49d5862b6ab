// Reads a launch data block back through its own pointers, the way the runtime side does.
#ifndef CORVELA_LAUNCHDATAWALK_H
#define CORVELA_LAUNCHDATAWALK_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "JvmLauncher.h"

namespace testing_support {

struct LaunchDataContents {
    std::string libraryPath;
    std::vector<std::string> args;
    bool argsNullTerminated = false;
    std::vector<std::wstring> envNames;
    std::vector<std::wstring> envValues;
    // What the walk found outside the block, instead of reading it; empty for a sound block.
    std::vector<std::string> outside;
    // The offset just past the last byte a string of the block uses.
    std::uintptr_t end = 0;
};

// Walks the `size` bytes of `block`. Arrays may begin at the very end of the block when they
// have no entries; strings must begin after the 40-byte header and end inside the block.
inline LaunchDataContents walkLaunchData(const JvmlLauncherData* block, std::int32_t size) {
    LaunchDataContents contents;
    const char* const base = reinterpret_cast<const char*>(block);
    const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(base) + 40;
    const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(base) + std::uintptr_t(size);
    const auto pointerAt = [](const char* at) {
        std::uintptr_t value;
        memcpy(&value, at, sizeof(value));
        return value;
    };
    const auto array = [&](const void* at, const char* what) -> const char* {
        const std::uintptr_t p = reinterpret_cast<std::uintptr_t>(at);
        if (p < first || p > last) {
            contents.outside.push_back(what);
            return nullptr;
        }
        return static_cast<const char*>(at);
    };
    // The string's bytes, found by its terminating zero of `unit` bytes.
    const auto text = [&](std::uintptr_t p, size_t unit, const std::string& what) {
        std::string bytes;
        if (p < first || p >= last) {
            contents.outside.push_back(what);
            return bytes;
        }
        for (const char* c = reinterpret_cast<const char*>(p);; c += unit) {
            if (reinterpret_cast<std::uintptr_t>(c) + unit > last) {
                contents.outside.push_back(what + " runs past the end");
                return bytes;
            }
            if (std::string(c, unit) == std::string(unit, '\0')) {
                const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(c) + unit -
                                           reinterpret_cast<std::uintptr_t>(base);
                contents.end = end > contents.end ? end : contents.end;
                return bytes;
            }
            bytes.append(c, unit);
        }
    };
    const auto wide = [](const std::string& bytes) {
        std::wstring result(bytes.size() / 2, L'\0');
        memcpy(&result[0], bytes.data(), result.size() * 2);
        return result;
    };

    contents.libraryPath =
        text(reinterpret_cast<std::uintptr_t>(block->libraryPath), 1, "library path");
    if (const char* argv = array(block->argValues, "argument array")) {
        for (int i = 0; i < block->argCount; ++i) {
            contents.args.push_back(text(pointerAt(argv + 8 * i), 1, "arg " + std::to_string(i)));
        }
        contents.argsNullTerminated = pointerAt(argv + 8 * block->argCount) == 0;
    }
    const char* names = array(block->envNameValues, "name array");
    const char* values = array(block->envValueValues, "value array");
    for (int i = 0; names && values && i < block->envCount; ++i) {
        contents.envNames.push_back(wide(text(pointerAt(names + 8 * i), 2, "name")));
        contents.envValues.push_back(wide(text(pointerAt(values + 8 * i), 2, "value")));
    }
    return contents;
}

} // namespace testing_support

#endif

// Windows paths as the host's shell and Java see them: Wine's mapping and shell words.
#ifndef CORVELA_BRIDGE_UNIXPATHS_H
#define CORVELA_BRIDGE_UNIXPATHS_H

#include <string>

namespace bridge {

std::wstring fromAcp(const char* text);
std::string toUtf8(const std::wstring& text);

// One shell word that stands for `text` exactly.
std::string shellQuote(const std::string& text);

class UnixPaths {
public:
    UnixPaths();

    // Wine provides the mapping; elsewhere there is no host to hand the program to.
    bool underWine() const { return toUnix != nullptr; }

    // Wine's Unix name for a Windows path, or the path itself when Wine has none.
    std::string unixPath(const std::wstring& windowsPath) const;

    // A Windows path as a shell word for its real Unix path.
    std::string shellPath(const std::wstring& windowsPath) const;

    // A list of Windows paths split at `separator` as one shell word: a ":"-separated list.
    std::string shellPathList(const std::wstring& list, wchar_t separator = L';') const;

private:
    typedef char*(__cdecl* WineGetUnixFileName)(const wchar_t*);
    WineGetUnixFileName toUnix = nullptr;
};

} // namespace bridge

#endif

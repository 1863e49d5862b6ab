// Windows paths as the host's shell and Java see them: Wine's mapping and shell words.
#include "UnixPaths.h"

#include <windows.h>

#include <cstring>

namespace bridge {

std::wstring fromAcp(const char* text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring out(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &out[0], n);
    out.resize(wcslen(out.c_str()));
    return out;
}

std::string toUtf8(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    out.resize(strlen(out.c_str()));
    return out;
}

std::string shellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

UnixPaths::UnixPaths() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    toUnix = reinterpret_cast<WineGetUnixFileName>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_unix_file_name")));
}

std::string UnixPaths::unixPath(const std::wstring& windowsPath) const {
    char* mapped = toUnix ? toUnix(windowsPath.c_str()) : nullptr;
    if (!mapped) {
        return toUtf8(windowsPath);
    }
    std::string result(mapped);
    HeapFree(GetProcessHeap(), 0, mapped);
    return result;
}

// Wine names drives through links such as ".../dosdevices/c:", and a ":" would split a Java
// path list; realpath follows the link to the directory it names.
std::string UnixPaths::shellPath(const std::wstring& windowsPath) const {
    return "\"$(realpath -m -- " + shellQuote(unixPath(windowsPath)) + ")\"";
}

std::string UnixPaths::shellPathList(const std::wstring& list, wchar_t separator) const {
    std::string result;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(separator, start);
        if (end == std::wstring::npos) {
            end = list.size();
        }
        if (end > start) {
            if (!result.empty()) {
                result += ':';
            }
            result += shellPath(list.substr(start, end - start));
        }
        start = end + 1;
    }
    return result.empty() ? "''" : result;
}

} // namespace bridge

// UTF-16 and UTF-8 text converted one way, for the test support and the stand-in runtime alike.
#ifndef CORVELA_UTF8TEXT_H
#define CORVELA_UTF8TEXT_H

#include <windows.h>

#include <string>

namespace testing_support {

inline std::string utf8(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                        nullptr);
    return out;
}

inline std::wstring wide(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

} // namespace testing_support

#endif

// Windows half of ErrorHandling.h: system error texts and the C runtime's error text.
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "ErrorHandling.h"
#include "Log.h"
#include "WindowsSupport.h"

namespace {

tstring systemErrorDescription(DWORD code, HMODULE module) {
    wchar_t* rawBuffer = nullptr;
    const DWORD baseFlags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
    DWORD length = 0;
    if (module) {
        length = FormatMessageW(baseFlags | FORMAT_MESSAGE_FROM_HMODULE, module, code, 0,
                                reinterpret_cast<LPWSTR>(&rawBuffer), 0, nullptr);
    }
    if (length == 0) {
        length = FormatMessageW(baseFlags, nullptr, code, 0, reinterpret_cast<LPWSTR>(&rawBuffer),
                                0, nullptr);
    }
    const UniqueLocalMemory<wchar_t> owner(rawBuffer);
    wchar_t* const buffer = owner.get();
    if (length == 0 || !buffer) {
        return L"No description available";
    }
    for (DWORD i = 0; i < length; ++i) {
        if (buffer[i] < L' ') {
            buffer[i] = L' ';
        }
    }
    // Trailing blanks, line breaks and the final period go; index 0 always stays.
    for (DWORD i = length; i >= 1; --i) {
        if (buffer[i] <= L' ' || buffer[i] == L'.') {
            buffer[i] = L'\0';
        } else {
            break;
        }
    }
    return tstring(buffer);
}

tstring systemErrorText(DWORD code, HMODULE module) {
    return (tstrings::Builder() << L"system error " << static_cast<unsigned long>(code) << L" ("
                                << systemErrorDescription(code, module) << L")")
        .tstr();
}

std::string makeMessage(const std::string& message, const void* function, DWORD code) {
    tstrings::Builder text;
    text << L"System error [" << static_cast<unsigned long>(code) << L"]";
    if (function) {
        HMODULE module = nullptr;
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                    GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                static_cast<LPCWSTR>(function), &module)) {
            LOG_WARNING(L"GetModuleHandleEx() failed for " << function << L" address.");
        } else {
            text << L"(" << systemErrorText(code, module) << L")";
        }
    }
    return joinMessages(message, text.str());
}

} // namespace

SysError::SysError(const tstrings::Builder& message, const void* function, unsigned long code)
    : LauncherError(makeMessage(message.str(), function, code)) {}

std::string crtErrorText() {
    wchar_t buffer[2048];
    if (_wcserror_s(buffer, sizeof(buffer) / sizeof(buffer[0]), errno) != 0) {
        return std::string();
    }
    return (tstrings::Builder() << buffer).str();
}

// String utilities: conversions, string operations, the formatter and the builder.
#include "tstrings.h"

#include <cstdint>
#include <cwctype>

#include <windows.h>

#include "ErrorHandling.h"

namespace {

std::string toMultiByte(const tstring& text, UINT codePage) {
    const int size = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    if (size < 0) {
        THROW_ERROR(LauncherError("Unexpected reply from WideCharToMultiByte()"));
    }
    if (size == 0) {
        return std::string();
    }
    std::string result(static_cast<size_t>(size), '\0');
    if (size != WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                    &result[0], size, nullptr, nullptr)) {
        THROW_ERROR(LauncherError("Unexpected reply from WideCharToMultiByte()"));
    }
    return result;
}

tstring fromMultiByte(const std::string& bytes, UINT codePage) {
    const int size = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(),
                                         static_cast<int>(bytes.size()), nullptr, 0);
    if (size < 0) {
        THROW_ERROR(LauncherError("Unexpected reply from MultiByteToWideChar()"));
    }
    if (size == 0) {
        return tstring();
    }
    tstring result(static_cast<size_t>(size), L'\0');
    if (size != MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(),
                                    static_cast<int>(bytes.size()), &result[0], size)) {
        THROW_ERROR(LauncherError("Unexpected reply from MultiByteToWideChar()"));
    }
    return result;
}

} // namespace

namespace tstrings {

std::string toUtf8(const tstring& text) {
    return toMultiByte(text, CP_UTF8);
}

std::string toACP(const tstring& text) {
    return toMultiByte(text, CP_ACP);
}

tstring fromUtf8(const std::string& bytes) {
    return fromMultiByte(bytes, CP_UTF8);
}

tstring toLower(const tstring& text) {
    tstring result = text;
    for (wchar_t& c : result) {
        c = static_cast<wchar_t>(towlower(c));
    }
    return result;
}

bool startsWith(const tstring& text, const tstring& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const tstring& text, const tstring& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

tstring replace(const tstring& text, const tstring& search, const tstring& replacement) {
    if (search.empty()) {
        return text;
    }
    // Built anew rather than edited in place, so many occurrences cost linear time. The
    // scan resumes after each occurrence: inserted text is never searched again.
    tstring result;
    size_t start = 0;
    size_t pos;
    while ((pos = text.find(search, start)) != tstring::npos) {
        result.append(text, start, pos - start);
        result += replacement;
        start = pos + search.size();
    }
    if (start == 0) {
        return text;
    }
    result.append(text, start, tstring::npos);
    return result;
}

tstring_array split(const tstring& text, const tstring& delimiter) {
    tstring_array result;
    if (text.empty() || delimiter.empty()) {
        return result;
    }
    size_t start = 0;
    size_t pos;
    while ((pos = text.find(delimiter, start)) != tstring::npos) {
        result.push_back(text.substr(start, pos - start));
        start = pos + delimiter.size();
    }
    result.push_back(text.substr(start));
    return result;
}

tstring join(tstring_array::const_iterator first, tstring_array::const_iterator last,
             const tstring& delimiter) {
    tstring result;
    for (auto it = first; it != last; ++it) {
        if (it != first) {
            result += delimiter;
        }
        result += *it;
    }
    return result;
}

tstring join(const tstring_array& items, const tstring& delimiter) {
    return join(items.begin(), items.end(), delimiter);
}

tstring join(const tstring_array& items, wchar_t delimiter) {
    return join(items.begin(), items.end(), tstring(1, delimiter));
}

// Formats into a buffer grown in 256-byte steps until the result fits. The buffer must hold
// the terminating zero too, so a result of exactly the buffer's length takes one more round.
// The C runtime's own _vsnprintf_s: the portable function would bring mingw-w64's whole
// printf implementation into the launcher.
std::string vformatPrintf(const char* format, va_list args) {
    if (!format) {
        THROW_ERROR(LauncherError("No format to print"));
    }
    std::string result;
    int count = -1;
    do {
        result.resize(result.size() + 256);
        va_list copy;
        va_copy(copy, args);
        count = _vsnprintf_s(&result[0], result.size(), _TRUNCATE, format, copy);
        va_end(copy);
    } while (count < 0);
    result.resize(static_cast<size_t>(count));
    return result;
}

Builder::Builder(const char* utf8) : text(fromUtf8(utf8)) {}

Builder& Builder::operator<<(const char* bytes) {
    for (const char* p = bytes; *p; ++p) {
        text += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    }
    return *this;
}

Builder& Builder::operator<<(const std::string& utf8) {
    text += fromUtf8(utf8);
    return *this;
}

Builder& Builder::operator<<(const tstring& more) {
    text += more;
    return *this;
}

Builder& Builder::operator<<(const wchar_t* more) {
    if (more) {
        text += more;
    }
    return *this;
}

Builder& Builder::operator<<(wchar_t c) {
    text += c;
    return *this;
}

Builder& Builder::operator<<(const void* pointer) {
    std::uintptr_t value = reinterpret_cast<std::uintptr_t>(pointer);
    if (value == 0) {
        text += L'0';
        return *this;
    }
    wchar_t digits[2 * sizeof(value)];
    size_t count = 0;
    for (; value; value >>= 4) {
        digits[count++] = L"0123456789abcdef"[value & 15];
    }
    text += L"0x";
    while (count > 0) {
        text += digits[--count];
    }
    return *this;
}

void Builder::appendDecimal(unsigned long long magnitude, bool negative) {
    wchar_t digits[20];
    size_t count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (negative) {
        text += L'-';
    }
    while (count > 0) {
        text += digits[--count];
    }
}

} // namespace tstrings

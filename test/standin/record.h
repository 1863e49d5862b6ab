// Stand-in runtime: what it saw, written for the tests to read.
#ifndef CORVELA_STANDIN_RECORD_H
#define CORVELA_STANDIN_RECORD_H

// What the stand-in runtime saw, appended as UTF-8 lines "key=value" to the file named by
// STANDIN_RECORD. Values that must survive byte for byte are written in hex.

#include <windows.h>

#include <cstdio>
#include <string>

#include "Utf8Text.h"

namespace standin {

inline std::wstring env(const wchar_t* name) {
    wchar_t buffer[32768];
    const DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
    return n > 0 && n < 32768 ? std::wstring(buffer, n) : std::wstring();
}

using testing_support::utf8;

inline std::string hex(const char* bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes); *p; ++p) {
        out.push_back(digits[*p >> 4]);
        out.push_back(digits[*p & 15]);
    }
    return out;
}

class Record {
public:
    Record() {
        const std::wstring path = env(L"STANDIN_RECORD");
        file = path.empty() ? nullptr : _wfopen(path.c_str(), L"ab");
    }
    ~Record() {
        if (file) {
            fclose(file);
        }
    }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    void line(const std::string& key, const std::string& value) {
        if (file) {
            fprintf(file, "%s=%s\n", key.c_str(), value.c_str());
        }
    }

private:
    FILE* file;
};

} // namespace standin

#endif

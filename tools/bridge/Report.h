// The bridge's own complaints: one line on the process's standard error, for jli.dll and
// jvm.dll alike.
#ifndef CORVELA_BRIDGE_REPORT_H
#define CORVELA_BRIDGE_REPORT_H

#include <windows.h>

#include <cstdio>
#include <string>

namespace bridge {

// Through the standard handle when there is one: the C runtime's stream of a DLL is not
// always the program's.
inline void report(const std::string& message) {
    const std::string text = "bridge: " + message + "\n";
    DWORD written = 0;
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (!err || err == INVALID_HANDLE_VALUE ||
        !WriteFile(err, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
        fputs(text.c_str(), stderr);
    }
}

} // namespace bridge

#endif

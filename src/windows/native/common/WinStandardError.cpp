// Windows half of StandardError.h: bytes through the C runtime, UTF-16 to a console.
#include <windows.h>

#include <cstdio>

#include "StandardError.h"

namespace {

// The text as UTF-16: UTF-8 when it is valid UTF-8, else in the process code page (the JVM
// arguments of an image built for the legacy code page).
std::wstring decode(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    const int size = static_cast<int>(text.size());
    UINT codePage = CP_UTF8;
    DWORD flags = MB_ERR_INVALID_CHARS;
    int length = MultiByteToWideChar(codePage, flags, text.data(), size, nullptr, 0);
    if (length <= 0) {
        codePage = CP_ACP;
        flags = 0;
        length = MultiByteToWideChar(codePage, flags, text.data(), size, nullptr, 0);
    }
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        MultiByteToWideChar(codePage, flags, text.data(), size, &wide[0], length);
    }
    return wide;
}

// In pieces: old consoles refuse a single write of 64 KB or more, and a JVM argument may be
// that long. A piece never ends between the two halves of a surrogate pair.
void writeConsole(HANDLE console, const std::wstring& text) {
    const size_t pieceSize = 8192;
    for (size_t at = 0; at < text.size();) {
        size_t length = text.size() - at < pieceSize ? text.size() - at : pieceSize;
        if (length > 1 && IS_HIGH_SURROGATE(text[at + length - 1])) {
            --length;
        }
        DWORD written = 0;
        if (!WriteConsoleW(console, text.data() + at, static_cast<DWORD>(length), &written,
                           nullptr)) {
            return;
        }
        at += length;
    }
}

// Set once, before the lines that need it are written.
volatile bool followHandle = false;

bool isConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

} // namespace

namespace StandardError {

void writeLine(const std::string& text) noexcept {
    try {
        const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
        if (isConsole(handle)) {
            fflush(stderr);
            writeConsole(handle, decode(text) + L"\r\n");
            return;
        }
        if (followHandle && _fileno(stderr) < 0) {
            // With the line end the stream would write.
            const std::string line = text + "\r\n";
            DWORD written = 0;
            WriteFile(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
            return;
        }
        const std::string line = text + "\n";
        fwrite(line.data(), 1, line.size(), stderr);
        fflush(stderr);
    } catch (...) {
        // Out of memory while reporting: there is nothing left to report to.
    }
}

void followStandardHandle() noexcept {
    followHandle = true;
}

} // namespace StandardError

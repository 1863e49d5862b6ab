// Windows half of LogFile.h: the logs directory, the rolled files and the appending write.
#include <windows.h>

#include "FileUtils.h"
#include "LogFile.h"
#include "WindowsSupport.h"

namespace {

const wchar_t* const logFileName = L"launcher.log";
const ULONGLONG rollSize = 1024 * 1024;
const int keptLogs = 3;

// Numbers 1 to 9 only: a single digit.
tstring rolledPath(const tstring& path, int number) {
    return path + L"." + static_cast<wchar_t>(L'0' + number);
}

// Writes `value` in decimal into the `width` characters that end at `end`, zeros in front.
void putDigits(char* end, int width, unsigned value) {
    for (int i = 0; i < width; ++i, value /= 10) {
        *--end = static_cast<char>('0' + value % 10);
    }
}

// A failed move keeps the files as they are and the log grows on: losing a line would be
// worse than a log past its size.
void rollWhenFull(const tstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return;
    }
    const ULONGLONG size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (size < rollSize) {
        return;
    }
    DeleteFileW(rolledPath(path, keptLogs).c_str());
    for (int number = keptLogs - 1; number >= 1; --number) {
        MoveFileExW(rolledPath(path, number).c_str(), rolledPath(path, number + 1).c_str(),
                    MOVEFILE_REPLACE_EXISTING);
    }
    MoveFileExW(path.c_str(), rolledPath(path, 1).c_str(), MOVEFILE_REPLACE_EXISTING);
}

} // namespace

namespace LogFile {

tstring pathIn(const tstring& logsDir) {
    return FileUtils::mkpath() << logsDir << logFileName;
}

void append(const tstring& logsDir, const std::string& text) {
    FileUtils::makeDirectory(logsDir);
    const tstring path = pathIn(logsDir);
    rollWhenFull(path);
    // Append access alone: every write lands at the end, whoever else writes.
    const UniqueFileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        THROW_LAST_ERROR(&CreateFileW, L"CreateFile(" << path << L") failed");
    }
    DWORD written = 0;
    if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size()) {
        THROW_LAST_ERROR(&WriteFile, L"WriteFile(" << path << L") failed");
    }
}

std::string timeStamp() {
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    char text[] = "0000-00-00 00:00:00.000";
    putDigits(text + 4, 4, now.wYear);
    putDigits(text + 7, 2, now.wMonth);
    putDigits(text + 10, 2, now.wDay);
    putDigits(text + 13, 2, now.wHour);
    putDigits(text + 16, 2, now.wMinute);
    putDigits(text + 19, 2, now.wSecond);
    putDigits(text + 23, 3, now.wMilliseconds);
    return text;
}

} // namespace LogFile

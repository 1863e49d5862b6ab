// Per-user JVM options: finding the user's options file, reading it and refusing what it
// must not hold.
#include "UserOptions.h"

#include <cwchar>

#include "AppImage.h"
#include "ErrorHandling.h"
#include "FileUtils.h"
#include "JvmLauncher.h"
#include "Log.h"
#include "SysInfo.h"
#include "TextFile.h"

namespace {

// The options that name the application to run rather than tune the JVM that runs it.
const wchar_t* const replacingOptions[] = {
    L"-jar", L"-cp", L"-classpath", L"--class-path", L"-p", L"--module-path", L"-m", L"--module"};

bool isBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r';
}

tstring trimmed(const tstring& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && isBlank(text[first])) {
        ++first;
    }
    while (last > first && isBlank(text[last - 1])) {
        --last;
    }
    return text.substr(first, last - first);
}

// "-cp", and "-cp=x" or "-cp x" written on one line, which would be the same option.
bool replacesTheApplication(const tstring& option) {
    if (option.compare(0, 8, L"-splash:") == 0) {
        return true;
    }
    for (const wchar_t* name : replacingOptions) {
        const size_t length = wcslen(name);
        if (option.compare(0, length, name) == 0 &&
            (option.size() == length || option[length] == L'=' || isBlank(option[length]))) {
            return true;
        }
    }
    return false;
}

// "<line>" and why it is refused, or only why when `line` is null.
[[noreturn]] void refuse(const tstring& path, int lineNumber, const tstring* line,
                         const wchar_t* why) {
    tstrings::Builder message;
    message << L"Error in the user JVM options file \"" << path << L"\" at line " << lineNumber
            << L": ";
    if (line) {
        message << L"\"" << *line << L"\"";
    }
    THROW_ERROR(LauncherError((message << why).str()));
}

// The option on one line; empty for a blank or comment line.
tstring optionOf(const std::string& bytes, const tstring& path, int lineNumber) {
    const tstring line = trimmed(tstrings::fromUtf8(bytes));
    if (line.empty() && bytes.find_first_not_of(" \t\r") != std::string::npos) {
        refuse(path, lineNumber, nullptr, L"the line is not UTF-8 text");
    }
    if (line.empty() || line[0] == L'#') {
        return tstring();
    }
    if (line[0] != L'-') {
        refuse(path, lineNumber, &line,
               L" is not a JVM option: each line holds one option starting with \"-\"");
    }
    if (replacesTheApplication(line)) {
        refuse(path, lineNumber, &line,
               L" is not allowed here: -jar, -cp, -classpath, --class-path, -p, --module-path, "
               L"-m, --module and -splash: belong to the application's own configuration");
    }
    return line;
}

} // namespace

UserOptions UserOptions::of(const AppImage& image) {
    const tstring fileName = image.launcherName() + L".vmoptions";
    for (const tstring& dir : image.userCopyDirs()) {
        const tstring path = FileUtils::mkpath() << dir << fileName;
        if (FileUtils::fileExists(path)) {
            LOG_TRACE(L"User JVM options file: \"" << path << L"\"");
            return read(path);
        }
    }
    return UserOptions();
}

UserOptions UserOptions::read(const tstring& path) {
    TextFile file(path);
    if (!file.isOpen()) {
        THROW_ERROR(LauncherError(fileOpenError(path)));
    }
    UserOptions result;
    std::string bytes;
    for (int lineNumber = 1; file.nextLine(bytes); ++lineNumber) {
        const tstring option = optionOf(bytes, path, lineNumber);
        if (!option.empty()) {
            result.theOptions.push_back(option);
        }
    }
    if (file.failed()) {
        THROW_ERROR(LauncherError(fileReadError(path)));
    }
    return result;
}

void UserOptions::addTo(Jvm& jvm) const {
    // The trace shows them among the JVM's arguments.
    for (const tstring& option : theOptions) {
        jvm.addOption(option);
    }
}

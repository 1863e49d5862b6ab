// The runtime's own error text (RuntimeErrors.h): where it goes, and how a failed start is told apart.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "AppImage.h"
#include "ErrorHandling.h"
#include "FileUtils.h"
#include "Launch.h"
#include "LauncherLog.h"
#include "Log.h"
#include "RuntimeErrors.h"
#include "UserFolder.h"
#include "WindowsSupport.h"
#include "tstrings.h"

namespace {

// The lines by which the runtime says it could not start the application: the Java
// launcher's (its messages all begin with "Error: ", those below only before the main method
// runs) and the virtual machine's own, on a failure while it is being created.
const char* const startFailureLines[] = {
    "Error: Could not find or load main class",
    "Error: Could not create the Java Virtual Machine.",
    "Error: A JNI error has occurred",
    "Error: Main method not found in class",
    "Error: Main method is not static in class",
    "Error: LinkageError occurred while loading main class",
    "Error: JavaFX runtime components are missing",
    "Error: Unable to initialize main class",
    "Error: could not open `",
    "Error: Invalid or corrupt jarfile",
    "Error occurred during initialization of VM",
    "Error occurred during initialization of boot layer",
    "Error occurred during CDS dumping",
};

// The lines of the message box: enough for the reason, short enough for a box.
const size_t lastLinesShown = 12;
const DWORD tailBytesRead = 16384;

struct Kept {
    tstring path;
    UniqueFileHandle file;
    tstring caption;
};

// Set by `capture`, for as long as the process lives: the runtime writes to the file until
// its very end.
Kept* kept = nullptr;

bool leadsSomewhere(HANDLE handle) {
    return handle && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

// The runtime writes in its own code page: UTF-8 when it is valid UTF-8, else the ANSI page.
tstring decode(const std::string& bytes) {
    for (const UINT codePage : {static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_ACP)}) {
        const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        const int n = MultiByteToWideChar(codePage, flags, bytes.data(),
                                          static_cast<int>(bytes.size()), nullptr, 0);
        if (n > 0) {
            tstring text(static_cast<size_t>(n), L'\0');
            MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()),
                                &text[0], n);
            return text;
        }
    }
    return tstring();
}

// The last non-empty lines the runtime wrote, oldest first.
std::vector<std::string> lastLines() {
    std::vector<std::string> lines;
    const UniqueFileHandle file(CreateFileW(kept->path.c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.get(), &size)) {
        return lines;
    }
    LARGE_INTEGER start = {};
    start.QuadPart = size.QuadPart > tailBytesRead ? size.QuadPart - tailBytesRead : 0;
    std::string bytes(static_cast<size_t>(size.QuadPart - start.QuadPart), '\0');
    DWORD read = 0;
    if (bytes.empty() || !SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN) ||
        !ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr)) {
        return lines;
    }
    bytes.resize(read);
    for (const tstring& line : tstrings::split(decode(bytes), L"\n")) {
        tstring text = line;
        while (!text.empty() && (text.back() == L'\r' || text.back() == L' ')) {
            text.pop_back();
        }
        if (!text.empty()) {
            lines.push_back(tstrings::toUtf8(text));
        }
    }
    if (start.QuadPart > 0 && !lines.empty()) {
        // Cut in the middle.
        lines.erase(lines.begin());
    }
    return lines;
}

bool saysTheStartFailed(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        for (const char* failure : startFailureLines) {
            if (line.compare(0, std::string(failure).size(), failure) == 0) {
                return true;
            }
        }
    }
    return false;
}

// The text the user is shown: the runtime's last lines and where all of it is.
std::string withRuntimeText(const std::string& message, const std::vector<std::string>& lines) {
    std::string text = message + "\n";
    const size_t first = lines.size() > lastLinesShown ? lines.size() - lastLinesShown : 0;
    for (size_t i = first; i < lines.size(); ++i) {
        text += "\n" + lines[i];
    }
    return text + "\n\nThe Java runtime's output is in " + tstrings::toUtf8(kept->path);
}

// Runs first in the runtime's exit(): the process ends once it returns.
void __cdecl onRuntimeExit() {
    try {
        const std::vector<std::string> lines = lastLines();
        if (!saysTheStartFailed(lines)) {
            return;
        }
        const std::string message =
            withRuntimeText("The Java runtime could not start the application:", lines);
        logErrorMessage(SOURCE_POSITION, tstrings::fromUtf8(message));
        LauncherLog::recordError(message);
        MessageBoxW(nullptr, tstrings::fromUtf8(message).c_str(), kept->caption.c_str(),
                    MB_ICONERROR);
    } catch (...) {
        // Out of memory while reporting: the exit code still tells.
    }
}

} // namespace

namespace RuntimeErrors {

void capture(const Launch& launch) {
    if (kept || leadsSomewhere(GetStdHandle(STD_ERROR_HANDLE))) {
        return;
    }
    const AppImage& image = launch.image;
    const tstring dir = image.userDir(LauncherLog::logsFolder);
    if (dir.empty()) {
        LOG_TRACE(L"The runtime's standard error is not kept: " << UserFolder::unsetReason);
        return;
    }
    try {
        FileUtils::makeDirectory(dir);
    } catch (const CvErrorBase& e) {
        LOG_TRACE(L"The runtime's standard error is not kept: " << e.bareMessage());
        return;
    }
    std::unique_ptr<Kept> fresh(new Kept());
    fresh->path = FileUtils::mkpath() << dir << image.launcherName() + L"-stderr.log";
    fresh->caption = FileUtils::basename(image.launcherPath());
    // Each start's own: a later start of the same exe begins the file anew.
    fresh->file.reset(CreateFileW(fresh->path.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!fresh->file) {
        LOG_TRACE(L"The runtime's standard error is not kept: CreateFile("
                  << fresh->path << L") failed with error " << GetLastError());
        return;
    }
    SetStdHandle(STD_ERROR_HANDLE, fresh->file.get());
    LOG_TRACE(L"The runtime's standard error goes to " << fresh->path);
    kept = fresh.release();
}

void watchRuntimeExit() {
    if (!kept) {
        return;
    }
    typedef int(__cdecl * CrtAtExitFn)(void(__cdecl*)());
    const HMODULE ucrt = GetModuleHandleW(L"ucrtbase.dll");
    const CrtAtExitFn crtAtExit = ucrt ? reinterpret_cast<CrtAtExitFn>(reinterpret_cast<void*>(
                                             GetProcAddress(ucrt, "_crt_atexit")))
                                       : nullptr;
    if (!crtAtExit || crtAtExit(onRuntimeExit) != 0) {
        LOG_TRACE(L"No universal C runtime to hook: an exit() of the runtime is not reported");
    }
}

void raiseWithRuntimeText(const LauncherError& failure) {
    const std::vector<std::string> lines = kept ? lastLines() : std::vector<std::string>();
    if (lines.empty()) {
        throw;
    }
    const CvErrorBase* const own = dynamic_cast<const CvErrorBase*>(&failure);
    const std::string message = own ? own->bareMessage() : std::string(failure.what());
    THROW_ERROR(LauncherError(withRuntimeText(message, lines)));
}

} // namespace RuntimeErrors

// Launcher log: where the trace of CORVELA_DEBUG=file goes, and the error log of an image.
#include "LauncherLog.h"

#include <process.h>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "Log.h"
#include "LogFile.h"
#include "StandardError.h"
#include "SysInfo.h"
#include "UserFolder.h"

namespace {

// "2026-03-05 14:07:09.042 Demo.exe (PID 812)": which run of which launcher wrote a line.
std::string runPrefix() {
    tstring name = L"launcher";
    try {
        name = FileUtils::basename(SysInfo::getProcessModulePath());
    } catch (const std::exception&) {
        // The line still tells the time and the process.
    }
    return (tstrings::Builder() << LogFile::timeStamp() << L" " << name << L" (PID " << _getpid()
                                << L")")
        .str();
}

// The trace of CORVELA_DEBUG=file: waiting in memory for its directory, then in the file,
// or on standard error when the file cannot be written. A line the file refuses later is
// lost: the trace must never stop the launch.
class FileTrace : public LogAppender {
public:
    void append(const LogRecord& record) override { line(traceLineOf(record)); }

    void line(const std::string& text) {
        if (where == Where::Waiting) {
            waiting += text + "\r\n";
        } else if (where == Where::File) {
            appendToFile(text + "\r\n");
        } else {
            StandardError::writeLine(text);
        }
    }

    // The trace's first line says where it is: in the file and on standard error, or, when
    // the file cannot be written, why the trace is on standard error instead.
    void place(const tstring& logsDir) {
        if (where != Where::Waiting) {
            return;
        }
        dir = logsDir;
        std::string records;
        records.swap(waiting);
        std::string reason = UserFolder::unsetReason;
        if (!dir.empty()) {
            const std::string header =
                (tstrings::Builder() << runPrefix() << L" trace in " << LogFile::pathIn(dir)).str();
            reason = appendToFile(header + "\r\n" + records);
            if (reason.empty()) {
                where = Where::File;
                StandardError::writeLine(header);
                return;
            }
        }
        where = Where::StandardError;
        StandardError::writeLine(runPrefix() + " trace on standard error: " + reason);
        if (!records.empty()) {
            records.resize(records.size() - 2);
            StandardError::writeLine(records);
        }
    }

    bool active = false;

private:
    enum class Where { Waiting, File, StandardError };

    // Why the text could not be written; empty when it was.
    std::string appendToFile(const std::string& text) {
        try {
            LogFile::append(dir, text);
            return std::string();
        } catch (const CvErrorBase& e) {
            return e.bareMessage();
        }
    }

    Where where = Where::Waiting;
    tstring dir;
    std::string waiting;
};

FileTrace fileTrace;
tstring errorLogDir;

} // namespace

namespace LauncherLog {

LogAppender& fileTraceAppender() {
    fileTrace.active = true;
    return fileTrace;
}

const wchar_t* const logsFolder = L"logs";

void useDirectory(const tstring& logsDir, bool keepErrors) {
    if (keepErrors) {
        errorLogDir = logsDir;
    }
    if (fileTrace.active) {
        fileTrace.place(logsDir);
    }
}

void traceLine(const std::string& line) noexcept {
    try {
        fileTrace.line(line);
    } catch (...) {
        // Out of memory: the trace loses a line, the launch goes on.
    }
}

void recordError(const std::string& message) noexcept {
    try {
        if (errorLogDir.empty()) {
            return;
        }
        try {
            LogFile::append(errorLogDir, runPrefix() + " error: " + message + "\r\n");
        } catch (const CvErrorBase& e) {
            LOG_TRACE(L"Cannot record the error in " << LogFile::pathIn(errorLogDir) << L": "
                                                     << e.bareMessage());
        }
    } catch (...) {
        // Out of memory while reporting: the message box and the exit code still tell.
    }
}

void endOfRun() noexcept {
    try {
        if (!fileTrace.active) {
            return;
        }
        fileTrace.place(UserFolder::local(
            FileUtils::stripExtension(FileUtils::basename(SysInfo::getProcessModulePath())),
            logsFolder));
    } catch (...) {
        // The launcher's own path is gone: the trace stays unwritten, the exit code tells.
    }
}

} // namespace LauncherLog

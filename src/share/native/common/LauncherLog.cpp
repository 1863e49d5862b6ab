// Launcher log: where the trace of CORVELA_DEBUG=file goes, and the error log of an image.
#include "LauncherLog.h"

#include <process.h>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "Log.h"
#include "LogFile.h"
#include "StandardError.h"
#include "SysInfo.h"

namespace {

std::string processName() {
    try {
        return tstrings::toUtf8(FileUtils::basename(SysInfo::getProcessModulePath()));
    } catch (const std::exception&) {
        return "launcher";
    }
}

std::string reasonOf(const std::exception& e) {
    const CvErrorBase* own = dynamic_cast<const CvErrorBase*>(&e);
    return own ? own->bareMessage() : std::string(e.what());
}

// The trace of CORVELA_DEBUG=file: waiting in memory for its directory, then in the file,
// or on standard error when the file cannot be written.
class FileTrace : public LogAppender {
public:
    void append(const LogRecord& record) override { line(traceLineOf(record)); }

    void line(const std::string& text) {
        if (where == Where::Waiting) {
            waiting.push_back(text);
            return;
        }
        if (where == Where::File) {
            try {
                LogFile::append(dir, text + "\r\n");
                return;
            } catch (const std::exception& e) {
                where = Where::StandardError;
                StandardError::writeLine("Cannot write the trace to " + logPath() + ": " +
                                         reasonOf(e) + "; it goes on on standard error");
            }
        }
        StandardError::writeLine(text);
    }

    // The trace's first line says where it is: in the file and on standard error, or, when
    // the file cannot be written, why the trace is on standard error instead.
    void place(const tstring& logsDir) {
        if (where != Where::Waiting) {
            return;
        }
        dir = logsDir;
        std::vector<std::string> records;
        records.swap(waiting);
        const std::string run = LogFile::timeStamp() + " Trace of " + processName() + " (PID " +
                                std::to_string(_getpid()) + ")";
        std::string reason = "LOCALAPPDATA is not set";
        if (!dir.empty()) {
            try {
                const std::string header = run + " in " + logPath();
                std::string text = header + "\r\n";
                for (const std::string& record : records) {
                    text += record + "\r\n";
                }
                LogFile::append(dir, text);
                where = Where::File;
                StandardError::writeLine(header);
                return;
            } catch (const std::exception& e) {
                reason = "cannot write " + logPath() + ": " + reasonOf(e);
            }
        }
        where = Where::StandardError;
        StandardError::writeLine(run + " on standard error: " + reason);
        for (const std::string& record : records) {
            StandardError::writeLine(record);
        }
    }

    bool active = false;

private:
    enum class Where { Waiting, File, StandardError };

    std::string logPath() const { return tstrings::toUtf8(LogFile::pathIn(dir)); }

    Where where = Where::Waiting;
    tstring dir;
    std::vector<std::string> waiting;
};

FileTrace fileTrace;
tstring errorLogDir;

} // namespace

namespace LauncherLog {

LogAppender& fileTraceAppender() {
    fileTrace.active = true;
    return fileTrace;
}

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
            LogFile::append(errorLogDir, LogFile::timeStamp() + " " + processName() + " (PID " +
                                             std::to_string(_getpid()) + ") error: " + message +
                                             "\r\n");
        } catch (const std::exception& e) {
            LOG_TRACE(L"Cannot record the error in " << LogFile::pathIn(errorLogDir) << L": "
                                                     << reasonOf(e));
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
        tstring root;
        if (SysInfo::findEnvVariable(L"LOCALAPPDATA", root) && !root.empty()) {
            root =
                FileUtils::mkpath()
                << root
                << FileUtils::stripExtension(FileUtils::basename(SysInfo::getProcessModulePath()))
                << L"logs";
        }
        fileTrace.place(root);
    } catch (...) {
        // The launcher's own path is gone: the trace stays unwritten, the exit code tells.
    }
}

} // namespace LauncherLog

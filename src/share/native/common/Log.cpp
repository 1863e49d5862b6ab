// Logging: the process-wide logger, its records, the general appenders and trace scopes.
#include "Log.h"

#include <cstdio>

#include <windows.h>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "SysInfo.h"

namespace {

const size_t appNameCapacity = 260;
wchar_t appNameBuffer[appNameCapacity] = L"Unknown";

enum AppNameState { NotDetermined = 0, BeingDetermined = 1, Determined = 2 };
int appNameState = NotDetermined;

void determineAppName() {
    const tstring name = FileUtils::basename(SysInfo::getCurrentModulePath());
    const size_t length = name.size() < appNameCapacity - 1 ? name.size() : appNameCapacity - 1;
    name.copy(appNameBuffer, length);
    appNameBuffer[length] = L'\0';
}

const wchar_t* levelName(LogLevel level) {
    switch (level) {
    case TRACE:
        return L"TRACE";
    case INFO:
        return L"INFO";
    case WARNING:
        return L"WARNING";
    case ERROR:
        return L"ERROR";
    }
    return L"UNKNOWN";
}

} // namespace

const wchar_t* logAppName() {
    return appNameBuffer;
}

Logger& Logger::instance() {
    static Logger logger;
    static StreamLogAppender defaultAppender(stdout);
    if (!logger.appender_) {
        logger.appender_ = &defaultAppender;
    }
    if (appNameState == BeingDetermined) {
        // A record logged while the name is being found further up this call chain.
        appNameBuffer[0] = L'\0';
    } else if (appNameState == NotDetermined) {
        appNameState = BeingDetermined;
        determineAppName();
        appNameState = Determined;
    }
    return logger;
}

void Logger::log(LogLevel level, const tstring& filePath, std::int32_t line,
                 const tstring& functionName, const tstring& message) const {
    LogRecord record;
    SYSTEMTIME now;
    GetLocalTime(&now);
    record.time = LogTime{now.wYear, now.wMonth,  now.wDayOfWeek, now.wDay,
                          now.wHour, now.wMinute, now.wSecond,    now.wMilliseconds};
    record.processId = GetCurrentProcessId();
    record.threadId = GetCurrentThreadId();
    record.appName = appNameBuffer;
    record.fileName = FileUtils::basename(filePath);
    record.functionName = functionName;
    record.levelName = levelName(level);
    record.line = line;
    record.message = message;
    appender_->append(record);
}

tstring logRecordPrefix(const LogRecord& record) {
    const LogTime& t = record.time;
    return tstrings::formatPrintf(L"%04u/%02u/%02u %02u:%02u:%02u.%03u, %s (PID: %u, TID: %u), ",
                                  t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond,
                                  record.appName, record.processId, record.threadId);
}

void StreamLogAppender::append(const LogRecord& record) {
    tstrings::Builder text;
    text << L"[" << logRecordPrefix(record) << record.fileName << L":" << record.line << L" ("
         << record.functionName << L")]\n\t" << record.levelName << L": " << record.message;
    const std::string line = text.str() + "\n";
    fwrite(line.data(), 1, line.size(), out);
    fflush(out);
}

void TeeLogAppender::append(const LogRecord& record) {
    if (first) {
        first->append(record);
    }
    if (second) {
        second->append(record);
    }
}

TraceScope::TraceScope(Logger& logger, LogLevel level, const tstring& filePath, std::int32_t line,
                       const tstring& functionName, const tstring& scopeName)
    : logger(&logger), level(level), filePath(filePath), line(line), functionName(functionName),
      scopeName(scopeName), active(logger.isEnabled(level)) {
    if (active) {
        logger.log(level, filePath, line, functionName, L"Entering " + scopeName);
    }
}

TraceScope::~TraceScope() {
    try {
        if (active) {
            // Exiting records carry line 0; the entering line is named in the message instead.
            logger->log(level, filePath, 0, functionName,
                        (tstrings::Builder()
                         << L"Exiting " << scopeName << L" (entered at "
                         << FileUtils::basename(filePath) << L":" << line << L")")
                            .tstr());
        }
    }
    CATCH_AND_LOG
}

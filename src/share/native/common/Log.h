// Logging: levels, records, appenders, log statements and trace scopes.
#ifndef CORVELA_LOG_H
#define CORVELA_LOG_H

#include <cstdint>
#include <cstdio>

#include "SourcePosition.h"
#include "tstrings.h"

enum LogLevel : std::int32_t { TRACE = 0, INFO = 1, WARNING = 2, ERROR = 3 };

struct LogTime {
    std::uint16_t year;
    std::uint16_t month;
    std::uint16_t dayOfWeek;
    std::uint16_t day;
    std::uint16_t hour;
    std::uint16_t minute;
    std::uint16_t second;
    std::uint16_t millisecond;
};

struct LogRecord {
    LogTime time;
    std::uint32_t threadId;
    std::uint32_t processId;
    const wchar_t* appName;
    tstring levelName;
    tstring fileName;
    std::int32_t line;
    tstring functionName;
    tstring message;
};

class LogAppender {
public:
    virtual ~LogAppender() = default;
    virtual void append(const LogRecord& record) = 0;
};

class StreamLogAppender : public LogAppender {
public:
    explicit StreamLogAppender(FILE* out) : out(out) {}
    void append(const LogRecord& record) override;

private:
    FILE* out;
};

class TeeLogAppender : public LogAppender {
public:
    TeeLogAppender(LogAppender* first, LogAppender* second) : first(first), second(second) {}
    void append(const LogRecord& record) override;

private:
    LogAppender* first;
    LogAppender* second;
};

class NopLogAppender : public LogAppender {
public:
    void append(const LogRecord&) override {}
};

class Logger {
public:
    static Logger& instance();

    bool isEnabled(LogLevel level) const { return level >= threshold; }
    void log(LogLevel level, const tstring& filePath, std::int32_t line,
             const tstring& functionName, const tstring& message) const;

    Logger& setAppender(LogAppender& newAppender) {
        appender_ = &newAppender;
        return *this;
    }
    LogAppender& appender() const { return *appender_; }

private:
    Logger() = default;

    LogLevel threshold = TRACE;
    LogAppender* appender_ = nullptr;
};

// The application name every record points at; "Unknown" until the logger's first use.
const wchar_t* logAppName();

// The text that opens every record of StreamLogAppender: time, application, process, thread.
tstring logRecordPrefix(const LogRecord& record);

class TraceScope {
public:
    TraceScope(Logger& logger, LogLevel level, const tstring& filePath, std::int32_t line,
               const tstring& functionName, const tstring& scopeName);
    ~TraceScope();

    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;

private:
    Logger* logger;
    LogLevel level;
    tstring filePath;
    std::int32_t line;
    tstring functionName;
    tstring scopeName;
    bool active;
};

#define CV_LOG(level, message)                                                                     \
    do {                                                                                           \
        ::Logger& cvLogger = ::Logger::instance();                                                 \
        if (cvLogger.isEnabled(level)) {                                                           \
            cvLogger.log(level, CV_WIDEN_LITERAL(__FILE__), __LINE__, CV_FUNCTION_NAME_W,          \
                         (::tstrings::Builder() << message).tstr());                               \
        }                                                                                          \
    } while (0)

#define LOG_TRACE(message) CV_LOG(::TRACE, message)
#define LOG_WARNING(message) CV_LOG(::WARNING, message)

#define CV_CONCAT_INNER(a, b) a##b
#define CV_CONCAT(a, b) CV_CONCAT_INNER(a, b)

#define TRACE_FUNCTION()                                                                           \
    ::TraceScope CV_CONCAT(cvTraceScope, __LINE__)(::Logger::instance(), ::TRACE,                  \
                                                   CV_WIDEN_LITERAL(__FILE__), __LINE__,           \
                                                   CV_FUNCTION_NAME_W, CV_FUNCTION_NAME_W)

#endif

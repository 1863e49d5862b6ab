// Logging: levels, records, appenders, log statements and trace scopes.
#ifndef CORVELA_LOG_H
#define CORVELA_LOG_H

#include <cstdint>

#include "SourcePosition.h"
#include "tstrings.h"

enum LogLevel : std::int32_t { TRACE, WARNING, ERROR };

struct LogRecord {
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

class NopLogAppender : public LogAppender {
public:
    void append(const LogRecord&) override {}
};

// Every record goes to the installed appender, which decides what becomes of it; until one
// is installed, records go nowhere.
class Logger {
public:
    static Logger& instance();

    void log(LogLevel level, const tstring& filePath, std::int32_t line,
             const tstring& functionName, const tstring& message) const;

    Logger& setAppender(LogAppender& newAppender) {
        appender_ = &newAppender;
        return *this;
    }
    LogAppender& appender() const { return *appender_; }

private:
    Logger();

    LogAppender* appender_;
};

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
};

#define CV_LOG(level, message)                                                                     \
    ::Logger::instance().log(level, CV_WIDEN_LITERAL(__FILE__), __LINE__, CV_FUNCTION_NAME_W,      \
                             (::tstrings::Builder() << message).tstr())

#define LOG_TRACE(message) CV_LOG(::TRACE, message)
#define LOG_WARNING(message) CV_LOG(::WARNING, message)

#define CV_CONCAT_INNER(a, b) a##b
#define CV_CONCAT(a, b) CV_CONCAT_INNER(a, b)

#define TRACE_FUNCTION()                                                                           \
    ::TraceScope CV_CONCAT(cvTraceScope, __LINE__)(::Logger::instance(), ::TRACE,                  \
                                                   CV_WIDEN_LITERAL(__FILE__), __LINE__,           \
                                                   CV_FUNCTION_NAME_W, CV_FUNCTION_NAME_W)

#endif

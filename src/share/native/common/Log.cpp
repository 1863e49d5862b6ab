// Logging: the process-wide logger, its records, the general appenders and trace scopes.
#include "Log.h"

#include "ErrorHandling.h"
#include "FileUtils.h"

namespace {

NopLogAppender nowhere;

const wchar_t* levelName(LogLevel level) {
    switch (level) {
    case TRACE:
        return L"TRACE";
    case WARNING:
        return L"WARNING";
    case ERROR:
        return L"ERROR";
    }
    return L"UNKNOWN";
}

} // namespace

Logger::Logger() : appender_(&nowhere) {}

Logger& Logger::instance() {
    static Logger logger;
    return logger;
}

void Logger::log(LogLevel level, const tstring& filePath, std::int32_t line,
                 const tstring& functionName, const tstring& message) const {
    LogRecord record;
    record.levelName = levelName(level);
    record.fileName = FileUtils::basename(filePath);
    record.line = line;
    record.functionName = functionName;
    record.message = message;
    appender_->append(record);
}

TraceScope::TraceScope(Logger& logger, LogLevel level, const tstring& filePath, std::int32_t line,
                       const tstring& functionName, const tstring& scopeName)
    : logger(&logger), level(level), filePath(filePath), line(line), functionName(functionName),
      scopeName(scopeName) {
    logger.log(level, filePath, line, functionName, L"Entering " + scopeName);
}

TraceScope::~TraceScope() {
    try {
        // Exiting records carry line 0; the entering line is named in the message instead.
        logger->log(level, filePath, 0, functionName,
                    (tstrings::Builder() << L"Exiting " << scopeName << L" (entered at "
                                         << FileUtils::basename(filePath) << L":" << line << L")")
                        .tstr());
    }
    CATCH_AND_LOG
}

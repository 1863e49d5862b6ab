// Test support: the logger's records captured or dropped for a scope.
#ifndef CORVELA_LOGCAPTURE_H
#define CORVELA_LOGCAPTURE_H

#include <vector>

#include "Log.h"

namespace testing_support {

// Installs itself as the logger's appender for its lifetime and keeps every record.
class CapturedLog : public LogAppender {
public:
    CapturedLog() : saved(&Logger::instance().appender()) { Logger::instance().setAppender(*this); }
    ~CapturedLog() override { Logger::instance().setAppender(*saved); }
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    void append(const LogRecord& record) override { records.push_back(record); }

    std::vector<tstring> messages() const {
        std::vector<tstring> result;
        for (const LogRecord& r : records) {
            result.push_back(r.message);
        }
        return result;
    }

    std::vector<LogRecord> records;

private:
    LogAppender* saved;
};

// Drops every record for its lifetime.
class QuietLog {
public:
    QuietLog() : saved(&Logger::instance().appender()) { Logger::instance().setAppender(quiet); }
    ~QuietLog() { Logger::instance().setAppender(*saved); }
    QuietLog(const QuietLog&) = delete;
    QuietLog& operator=(const QuietLog&) = delete;

private:
    NopLogAppender quiet;
    LogAppender* saved;
};

} // namespace testing_support

#endif

// Application frame, neutral half: appenders, the barrier, and the last error message.
#include "app.h"

#include <cstdio>
#include <memory>

#include "ErrorHandling.h"
#include "SysInfo.h"

namespace {

const std::string* lastErrorMsg = nullptr;

StandardLogAppender standardAppender;
NopLogAppender nopAppender;
LastErrorLogAppender lastErrorAppender;

class SetLoggerAtEndOfScope {
public:
    SetLoggerAtEndOfScope(std::unique_ptr<WithExtraLogAppender>& holder,
                          LogAppender* lastErrorLogAppender)
        : holder(holder), lastErrorLogAppender(lastErrorLogAppender) {}

    ~SetLoggerAtEndOfScope() {
        try {
            std::unique_ptr<WithExtraLogAppender> replacement(
                new WithExtraLogAppender(*lastErrorLogAppender));
            holder.swap(replacement);
        }
        CATCH_AND_LOG
    }

    SetLoggerAtEndOfScope(const SetLoggerAtEndOfScope&) = delete;
    SetLoggerAtEndOfScope& operator=(const SetLoggerAtEndOfScope&) = delete;

private:
    std::unique_ptr<WithExtraLogAppender>& holder;
    LogAppender* lastErrorLogAppender;
};

class ResetLastErrorMsgAtEndOfScope {
public:
    ResetLastErrorMsgAtEndOfScope() = default;
    ~ResetLastErrorMsgAtEndOfScope() {
        try {
            lastErrorMsg = nullptr;
        }
        CATCH_AND_LOG
    }

    ResetLastErrorMsgAtEndOfScope(const ResetLastErrorMsgAtEndOfScope&) = delete;
    ResetLastErrorMsgAtEndOfScope& operator=(const ResetLastErrorMsgAtEndOfScope&) = delete;
};

// The text the user is shown for the failure being handled: the launcher's own errors
// without their source position, the C runtime's reason for other runtime errors. The
// launcher's messages are UTF-8 already: they are passed on as they are, never re-encoded.
std::string userMessage() {
    try {
        try {
            throw;
        } catch (const CvErrorBase& e) {
            return e.bareMessage();
        } catch (const std::runtime_error&) {
            return crtErrorText();
        } catch (...) {
            return "Unknown error";
        }
    }
    CATCH_AND_LOG
    return "Unknown error";
}

// Logs the failure being handled; the record also brings it to the user through the
// last-error appenders. The reporting functions never raise.
void report(const SourcePosition& pos) {
    try {
        throw;
    } catch (const std::runtime_error& e) {
        logException(pos, e);
    } catch (...) {
        logUnknownException(pos);
    }
}

} // namespace

namespace app {

bool debugSwitchOn() {
    return SysInfo::getEnvVariable(L"CORVELA_DEBUG", tstring()) == L"true";
}

std::string lastErrorMessage() {
    return lastErrorMsg ? *lastErrorMsg : std::string();
}

LogAppender& defaultLastErrorAppender() {
    return lastErrorAppender;
}

int launch(const std::nothrow_t&, LaunchFunc launchFunc, LogAppender* lastErrorLogAppender) {
    if (debugSwitchOn()) {
        Logger::instance().setAppender(standardAppender);
    } else {
        Logger::instance().setAppender(nopAppender);
    }

    TRACE_FUNCTION();

    std::unique_ptr<WithExtraLogAppender> withLastErrorAppender;
    LogAppender* effectiveLastErrorAppender =
        lastErrorLogAppender ? lastErrorLogAppender : &defaultLastErrorAppender();
    std::string errorMessage;
    ResetLastErrorMsgAtEndOfScope resetLastErrorMsg;

    try {
        SetLoggerAtEndOfScope setLogger(withLastErrorAppender, effectiveLastErrorAppender);
        launchFunc();
    } catch (...) {
        errorMessage = userMessage();
        lastErrorMsg = &errorMessage;
        report(SOURCE_POSITION);
        return 1;
    }
    return 0;
}

} // namespace app

void StandardLogAppender::append(const LogRecord& record) {
    const std::string line = "[" + tstrings::toUtf8(record.levelName) + "] " +
                             tstrings::toUtf8(record.fileName) + ":" + std::to_string(record.line) +
                             ": " + tstrings::toUtf8(record.message) + "\n";
    fwrite(line.data(), 1, line.size(), stderr);
    fflush(stderr);
}

void LastErrorLogAppender::append(const LogRecord&) {
    const std::string line = app::lastErrorMessage() + "\n";
    fwrite(line.data(), 1, line.size(), stderr);
    fflush(stderr);
}

WithExtraLogAppender::WithExtraLogAppender(LogAppender& extra)
    : saved(Logger::instance().appender()), tee(&saved, &extra) {
    Logger::instance().setAppender(tee);
}

WithExtraLogAppender::~WithExtraLogAppender() {
    Logger::instance().setAppender(saved);
}

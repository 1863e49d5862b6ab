// Application frame, neutral half: the trace, the barrier, and the way a failure is reported.
#include "app.h"

#include "ErrorHandling.h"
#include "Log.h"
#include "StandardError.h"
#include "SysInfo.h"

namespace {

// Prints each record as one line on standard error: the trace of the debug switch.
class TraceAppender : public LogAppender {
public:
    void append(const LogRecord& record) override {
        StandardError::writeLine(
            "[" + tstrings::toUtf8(record.levelName) + "] " + tstrings::toUtf8(record.fileName) +
            ":" + std::to_string(record.line) + ": " + tstrings::toUtf8(record.message));
    }
};

TraceAppender traceAppender;
NopLogAppender quietAppender;

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
    } catch (...) {
        return "Unknown error";
    }
}

// The failure being handled as an error record, with where it was raised (for the trace).
void logFailure(const SourcePosition& pos) {
    try {
        throw;
    } catch (const std::runtime_error& e) {
        logException(pos, e);
    } catch (...) {
        logUnknownException(pos);
    }
}

// Called inside the frame's handler. The message is taken first: logging may change the C
// runtime's error number it can be read from.
void reportFailure(const SourcePosition& pos, app::ShowMessage showMessage) {
    const std::string message = userMessage();
    logFailure(pos);
    StandardError::writeLine(message);
    if (showMessage) {
        showMessage(message);
    }
}

} // namespace

namespace app {

bool debugSwitchOn() {
    return SysInfo::getEnvVariable(L"CORVELA_DEBUG", tstring()) == L"true";
}

int launch(const std::nothrow_t&, LaunchFunc launchFunc, ShowMessage showMessage) {
    if (debugSwitchOn()) {
        Logger::instance().setAppender(traceAppender);
    } else {
        Logger::instance().setAppender(quietAppender);
    }

    TRACE_FUNCTION();
    try {
        launchFunc();
        return 0;
    } catch (...) {
        try {
            reportFailure(SOURCE_POSITION, showMessage);
        } catch (...) {
            // Out of memory while reporting: the exit code still tells.
        }
        return 1;
    }
}

} // namespace app

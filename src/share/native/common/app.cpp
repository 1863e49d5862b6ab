// Application frame, neutral half: the trace, the barrier, and the way a failure is reported.
#include "app.h"

#include "ErrorHandling.h"
#include "LauncherLog.h"
#include "Log.h"
#include "StandardError.h"
#include "SysInfo.h"
#include "Toolbox.h"

namespace {

// Prints each record as one line on standard error: the trace of the debug switch.
class TraceAppender : public LogAppender {
public:
    void append(const LogRecord& record) override { StandardError::writeLine(traceLineOf(record)); }
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
        } catch (const LauncherError&) {
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
    } catch (const LauncherError& e) {
        logException(pos, e);
    } catch (...) {
        logUnknownException(pos);
    }
}

// Called inside the frame's handler. The message is taken first: logging may change the C
// runtime's error number it can be read from.
void reportFailure(const SourcePosition& pos, app::ShowMessageWith showMessage, void* context) {
    const std::string message = userMessage();
    logFailure(pos);
    StandardError::writeLine(message);
    LauncherLog::recordError(message);
    if (showMessage) {
        showMessage(context, message);
    }
}

} // namespace

namespace app {

DebugSwitch debugSwitch() {
    const tstring value = SysInfo::getEnvVariable(L"CORVELA_DEBUG", tstring());
    if (value == L"true") {
        return DebugSwitch::Console;
    }
    return value == L"file" ? DebugSwitch::File : DebugSwitch::Off;
}

bool debugSwitchOn() {
    return debugSwitch() == DebugSwitch::Console;
}

int launch(const std::nothrow_t& tag, LaunchFunc launchFunc, ShowMessage showMessage) {
    struct Plain {
        LaunchFunc launchFunc;
        ShowMessage showMessage;
    } plain = {launchFunc, showMessage};
    const LaunchWithFunc callIt = [](void* context) {
        return static_cast<Plain*>(context)->launchFunc();
    };
    const ShowMessageWith showIt = [](void* context, const std::string& message) {
        static_cast<Plain*>(context)->showMessage(message);
    };
    return launch(tag, callIt, &plain, showMessage ? showIt : nullptr);
}

int launch(const std::nothrow_t&, LaunchWithFunc launchFunc, void* context,
           ShowMessageWith showMessage) {
    switch (debugSwitch()) {
    case DebugSwitch::Console:
        Logger::instance().setAppender(traceAppender);
        break;
    case DebugSwitch::File:
        Logger::instance().setAppender(LauncherLog::fileTraceAppender());
        break;
    case DebugSwitch::Off:
        Logger::instance().setAppender(quietAppender);
        break;
    }

    // Runs after the trace scope's last record.
    const auto placeTrace = atEndOfScope([] { LauncherLog::endOfRun(); });
    TRACE_FUNCTION();
    try {
        return launchFunc(context);
    } catch (...) {
        try {
            reportFailure(SOURCE_POSITION, showMessage, context);
        } catch (...) {
            // Out of memory while reporting: the exit code still tells.
        }
        return 1;
    }
}

} // namespace app

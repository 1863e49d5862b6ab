// Application frame: runs the launch function and turns every failure into a message.
#ifndef CORVELA_APP_H
#define CORVELA_APP_H

#include <new>
#include <string>

#include "Log.h"

namespace app {

typedef void (*LaunchFunc)();

// Report every failure through their result instead of raising.
int launch(const std::nothrow_t&, LaunchFunc launchFunc, LogAppender* lastErrorLogAppender);
int wlaunch(const std::nothrow_t&, LaunchFunc launchFunc);

bool debugSwitchOn();

// The message of the failure being reported, UTF-8; empty when there is none.
std::string lastErrorMessage();

LogAppender& defaultLastErrorAppender();

} // namespace app

// Prints records as single lines on standard error; the debug switch's appender.
class StandardLogAppender : public LogAppender {
public:
    void append(const LogRecord& record) override;
};

// Shows the last error message on standard error, whatever the record says.
class LastErrorLogAppender : public LogAppender {
public:
    void append(const LogRecord& record) override;
};

// Chains an extra appender behind the installed one while it lives.
class WithExtraLogAppender {
public:
    explicit WithExtraLogAppender(LogAppender& extra);
    virtual ~WithExtraLogAppender();

    WithExtraLogAppender(const WithExtraLogAppender&) = delete;
    WithExtraLogAppender& operator=(const WithExtraLogAppender&) = delete;

private:
    LogAppender& saved;
    TeeLogAppender tee;
};

#endif

// Error records of a service in the Application event log (EventLog.h).
#include <windows.h>

#include "EventLog.h"

namespace EventLog {

void reportError(const tstring& source, const std::string& message) noexcept {
    try {
        const tstring text = tstrings::fromUtf8(message);
        const HANDLE log = RegisterEventSourceW(nullptr, source.c_str());
        if (!log) {
            return;
        }
        const wchar_t* strings[] = {text.c_str()};
        // Event 1 with the message as its only string: without a message file registered
        // for the source, the Event Viewer shows the string as it is.
        ReportEventW(log, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr);
        DeregisterEventSource(log);
    } catch (...) {
        // Out of memory while converting the text: nothing more to do.
    }
}

} // namespace EventLog

// The Windows event log: where a service's own failures are recorded besides its error log.
#ifndef CORVELA_EVENTLOG_H
#define CORVELA_EVENTLOG_H

#include <string>

#include "tstrings.h"

namespace EventLog {

// Records `message` (UTF-8) as an error of `source` in the Application log. Never raises:
// it is how failures are reported, and a failure to record one has nowhere left to go.
void reportError(const tstring& source, const std::string& message) noexcept;

} // namespace EventLog

#endif

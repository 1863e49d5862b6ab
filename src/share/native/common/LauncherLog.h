// Launcher log: the trace in a file a user can send (CORVELA_DEBUG=file), and the error
// records of an installed image, kept whatever the debug switch says.
#ifndef CORVELA_LAUNCHERLOG_H
#define CORVELA_LAUNCHERLOG_H

#include <string>

#include "tstrings.h"

class LogAppender;

namespace LauncherLog {

// The frame's appender for CORVELA_DEBUG=file. The log's directory depends on the package,
// which the launch learns only once it has read the image: records wait in memory until
// then.
LogAppender& fileTraceAppender();

// The name of the logs folder in the user's folder of an image (UserFolder.h).
extern const wchar_t* const logsFolder;

// The launch's word on where its logs go, as soon as it knows the image: the trace (when it
// goes to a file) and, with `keepErrors`, the error records. An empty directory (no
// LOCALAPPDATA) sends the trace to standard error.
void useDirectory(const tstring& logsDir, bool keepErrors);

// One line of the trace that is not a record (the JVM arguments), where the trace goes.
void traceLine(const std::string& line) noexcept;

// The message the user is shown for a failure, with a time stamp, in the error log when the
// launch named one. Never raises: a log that cannot be written costs a trace line.
void recordError(const std::string& message) noexcept;

// The frame's last word: a trace still waiting for its directory (the launch failed before
// it knew the image) goes to the launcher's own, under its name.
void endOfRun() noexcept;

} // namespace LauncherLog

#endif

// Log file: lines appended to launcher.log in a logs directory, rolled at 1 MiB keeping three.
#ifndef CORVELA_LOGFILE_H
#define CORVELA_LOGFILE_H

#include <string>

#include "tstrings.h"

namespace LogFile {

// Where the log of a logs directory is: launcher.log in it.
tstring pathIn(const tstring& logsDir);

// Appends UTF-8 text to the log of `logsDir`, making the directory (and the ones above it)
// when missing. A log that has reached 1 MiB becomes launcher.log.1 first, the older ones
// move up to .2 and .3, and a fourth is dropped. Every open appends at the file's end as
// one write: the restart parent and its child write to the same log. Raises when the
// directory cannot be made or the file not written.
void append(const tstring& logsDir, const std::string& text);

// The local time, to the millisecond: "2026-03-05 14:07:09.042".
std::string timeStamp();

} // namespace LogFile

#endif

// Standard error as the user reads it: lines of text, to a file, a pipe or a console alike.
#ifndef CORVELA_STANDARDERROR_H
#define CORVELA_STANDARDERROR_H

#include <string>

namespace StandardError {

// Writes `text` and a line end, and flushes. Bytes go to a file or a pipe as they are; a
// console gets the characters they stand for, since its own code page need not be the text's:
// UTF-8, or, for bytes that are not, the process code page. Never raises: it is how failures
// are reported.
void writeLine(const std::string& text) noexcept;

// From now on, while the C runtime's stream is unopened (the process started without standard
// error), lines go to the standard handle itself: for a process that sets that handle later,
// as a service sets it to its error log.
void followStandardHandle() noexcept;

} // namespace StandardError

#endif

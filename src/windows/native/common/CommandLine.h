// A process's command line split into its arguments, as Windows programs split theirs.
#ifndef CORVELA_COMMANDLINE_H
#define CORVELA_COMMANDLINE_H

#include "tstrings.h"

namespace CommandLine {

// The arguments after the program name, by the rules of CommandLineToArgvW: blanks (spaces
// and tabs) separate arguments outside quotes; 2n backslashes before a double quote are n
// backslashes and the quote opens or closes a quoted part, 2n+1 are n and a literal quote;
// other backslashes are literal; a quote that follows a quote inside a quoted part is a
// literal quote. The program name ends at the first blank, or, when it starts with a quote,
// at the next quote; it knows no escapes.
tstring_array arguments(const tstring& commandLine);

} // namespace CommandLine

#endif

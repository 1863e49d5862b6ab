// The runtime's own error text where a GUI launch has no standard error: kept, and shown when the start fails.
#ifndef CORVELA_RUNTIMEERRORS_H
#define CORVELA_RUNTIMEERRORS_H

#include "ErrorHandling.h"

struct Launch;

namespace RuntimeErrors {

// A step of the process that hosts the JVM. When its standard error leads nowhere (a GUI
// launcher started from the desktop or a shortcut), sends it to <launcher>-stderr.log in the
// image's logs directory, so that what the runtime writes there before the application runs
// is not lost. Does nothing when standard error leads somewhere; a file that cannot be made
// costs a trace line.
void capture(const Launch& launch);

// Once the runtime's libraries are loaded. The runtime ends a start it cannot make (a JVM it
// cannot create, a main class it cannot find, an archive it refuses to write) through its C
// runtime's exit() with its reason on standard error; so does an application through
// System.exit. With standard error kept, that end is reported as the launcher's own failures
// are (a message box and the error log) when its text holds one of the runtime's start
// failure lines; any other end is the application's own.
void watchRuntimeExit();

// Called in the handler of `failure`, a launch JLI_Launch ended with a failure: raises it
// again, with the runtime's last lines and the path of all it wrote when standard error was
// kept.
[[noreturn]] void raiseWithRuntimeText(const LauncherError& failure);

} // namespace RuntimeErrors

#endif

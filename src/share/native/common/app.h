// Application frame: runs the launch function and turns every failure into a message.
#ifndef CORVELA_APP_H
#define CORVELA_APP_H

#include <new>
#include <string>

namespace app {

typedef void (*LaunchFunc)();

// Shows a failure's message (UTF-8) to the user besides standard error: the GUI launcher's
// message box.
typedef void (*ShowMessage)(const std::string& message);

// Runs `launchFunc` and returns 0 when it returns. When it raises anything, the failure takes
// one path to the user: its record in the trace, its message on standard error, then
// `showMessage` (none for the console launcher), and the result is 1. Never raises.
int launch(const std::nothrow_t&, LaunchFunc launchFunc, ShowMessage showMessage = nullptr);

// The GUI launcher's frame: a console for the trace when the debug switch is on and standard
// error leads nowhere, and failures shown in a message box as well.
int wlaunch(const std::nothrow_t&, LaunchFunc launchFunc);

bool debugSwitchOn();

} // namespace app

#endif

// Application frame: runs the launch function and turns every failure into a message.
#ifndef CORVELA_APP_H
#define CORVELA_APP_H

#include <new>
#include <string>

namespace app {

// Runs a launch and returns the process's exit code.
typedef int (*LaunchFunc)();

// Shows a failure's message (UTF-8) to the user besides standard error: the GUI launcher's
// message box.
typedef void (*ShowMessage)(const std::string& message);

// Runs `launchFunc` and returns what it returns. When it raises anything, the failure takes
// one path to the user: its record in the trace, its message on standard error, then
// `showMessage` (none for the console launcher), and the result is 1. Never raises. Either
// way the trace's last record is the frame's own: no step ends the process.
int launch(const std::nothrow_t&, LaunchFunc launchFunc, ShowMessage showMessage = nullptr);

// The same for a launch function that takes what it launches: `context`, passed on to it and
// to the function that shows a failure.
typedef int (*LaunchWithFunc)(void* context);
typedef void (*ShowMessageWith)(void* context, const std::string& message);
int launch(const std::nothrow_t&, LaunchWithFunc launchFunc, void* context,
           ShowMessageWith showMessage = nullptr);

// The GUI launcher's frame: a console for the trace when the debug switch is on and standard
// error leads nowhere, and failures shown in a message box as well.
int wlaunch(const std::nothrow_t&, LaunchFunc launchFunc);

// CORVELA_DEBUG: "true" prints the trace on standard error (a console for the GUI launcher),
// "file" writes it to the launcher log (LauncherLog.h); anything else, or nothing, is off.
enum class DebugSwitch { Off, Console, File };
DebugSwitch debugSwitch();
// The switch is "true".
bool debugSwitchOn();

} // namespace app

#endif

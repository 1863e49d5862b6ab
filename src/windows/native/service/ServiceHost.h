// The service launcher's two ways to run: under the service control manager, or in a console.
#ifndef CORVELA_SERVICEHOST_H
#define CORVELA_SERVICEHOST_H

namespace ServiceHost {

// Runs the application as the service the manager started; returns the process's exit code.
// Returns false without doing anything when the process was not started by the manager.
bool runUnderManager(int& exitCode);

// Runs the application in the foreground of the console it was started from; Ctrl+C,
// Ctrl+Break and closing the console ask it to end as a stop does.
int runInConsole();

} // namespace ServiceHost

#endif

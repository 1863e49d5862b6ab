// Windows launch sequence: what both launchers, GUI and console, run inside the frame.
#ifndef CORVELA_WINLAUNCHER_H
#define CORVELA_WINLAUNCHER_H

// Finds the configuration and the runtime, then launches the JVM in process, or restarts
// the launcher once inside a job when "PATH" does not list the application directory.
void launchApp();

#endif

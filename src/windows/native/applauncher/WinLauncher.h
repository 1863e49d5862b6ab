// Windows launch sequence: what both launchers, GUI and console, run inside the frame.
#ifndef CORVELA_WINLAUNCHER_H
#define CORVELA_WINLAUNCHER_H

// What a launch does when "PATH" does not list the application directory.
enum class SearchPathPolicy {
    // Restart the launcher once inside a job, with the directory appended: the application
    // and every program it starts find the image's libraries.
    RestartWhenMissing,
    // Append the directory in this process and launch here: for a launcher whose process
    // must be the one that runs the application.
    ExtendInProcess,
};

class AppImage;
class CfgFile;

// The configuration a launch of this image reads (per-user copy or the image's own), with
// its macros expanded: for a launcher that needs its settings before the launch.
CfgFile launchCfgFile(const AppImage& image);

// Finds the configuration and the runtime, then launches the JVM in process, or restarts
// the launcher as the policy says. Returns the exit code of the process: the restarted
// child's, or 0 once the application ran or a running instance took the request.
int launchApp(SearchPathPolicy policy);

// The launch of the GUI and console launchers: restart when "PATH" lacks the directory.
int launchApp();

#endif

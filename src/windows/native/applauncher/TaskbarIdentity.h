// Taskbar identity: the explicit AppUserModelID a launch gives its process.
#ifndef CORVELA_TASKBARIDENTITY_H
#define CORVELA_TASKBARIDENTITY_H

#include <memory>

class CfgFile;
class Dll;

namespace TaskbarIdentity {

// A step of every process of a launch, as soon as the configuration is read: before the
// runtime loads and before the launcher or the application makes any window, since Windows
// groups a window under the ID its process had when the window was made. With
// "app.user-model-id" in [Application], loads shell32 from the system directory and sets the
// ID, so that the application's windows, its pinned shortcut and its notifications are one
// application to the taskbar; returns shell32, to be held for as long as the launch runs.
// Without the key it loads nothing and returns null. An ID Windows refuses fails the launch.
std::unique_ptr<Dll> apply(const CfgFile& cfg);

} // namespace TaskbarIdentity

#endif

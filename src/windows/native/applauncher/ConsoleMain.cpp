// Entry point of corvela-console.exe, the launcher for command-line tools: it runs in the
// shell's console and standard streams, and reports a failure as one line on standard error.
#include "WinLauncher.h"
#include "app.h"

int wmain() {
    // A failure is its line on standard error only: no message box, and no console of its
    // own to attach, since the shell's is already there.
    return app::launch(std::nothrow, launchApp);
}

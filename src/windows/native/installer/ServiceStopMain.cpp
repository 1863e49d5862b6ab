// Entry point of corvela-service-stop.exe, which an installer runs before it removes or
// replaces the files of its services: each service named on the command line is stopped,
// and waited for, before the installer goes on.
#include <new>

#include "ErrorHandling.h"
#include "ServiceStop.h"
#include "SysInfo.h"
#include "app.h"

namespace {

// Windows Installer takes a non-zero exit code for a failed action: the installation rolls
// back, and no file of a service that still runs is touched.
int stopServices() {
    const tstring_array names = SysInfo::getCommandArgs();
    if (names.empty()) {
        THROW_ERROR(LauncherError("usage: corvela-service-stop SERVICE_NAME..."));
    }
    for (const tstring& name : names) {
        ServiceStop::stopAndWait(name);
    }
    return 0;
}

} // namespace

int wmain() {
    return app::launch(std::nothrow, stopServices);
}

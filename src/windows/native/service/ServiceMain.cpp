// Entry point of corvela-service.exe: a Java server as a Windows service, or, started from a
// console, the same server in the foreground for a test.
#include "ServiceHost.h"

int wmain() {
    int exitCode = 0;
    if (ServiceHost::runUnderManager(exitCode)) {
        return exitCode;
    }
    return ServiceHost::runInConsole();
}

// The service's side of the service control manager: its status as the manager sees it.
#ifndef CORVELA_SERVICESTATUS_H
#define CORVELA_SERVICESTATUS_H

#include <windows.h>

#include "Lock.h"
#include "WindowsSupport.h"
#include "tstrings.h"

// Service-specific exit codes the manager records when the service stops on a failure: the
// launch or its setup failed, or the application ended on its own with a failure; it was
// ended after not ending within the stop timeout; it ended the process itself (System.exit)
// without a stop.
namespace ServiceExit {
const DWORD launchFailed = 1;
const DWORD stopTimedOut = 2;
const DWORD endedItself = 3;
} // namespace ServiceExit

// One service's status: registered once, then reported to from any thread. The manager's
// controls reach it through the handler's context, so it must stay where it is for as long
// as the handler may be called (until SERVICE_STOPPED is reported).
class ServiceStatus {
public:
    // Raises when the event a stop sets cannot be made.
    ServiceStatus();
    ServiceStatus(const ServiceStatus&) = delete;
    ServiceStatus& operator=(const ServiceStatus&) = delete;

    // Registers the control handler. A stop, preshutdown or shutdown control reports
    // STOP_PENDING and sets `stopRequested()`.
    void registerHandler(const tstring& name);

    const tstring& name() const { return serviceName; }
    // Set once a stop was asked for.
    HANDLE stopRequested() const { return stopEvent.get(); }

    void startPending();
    void running();
    void stopPending(DWORD waitHintMillis);
    // SERVICE_STOPPED with exit code 0, or with a service-specific code; the first of these
    // calls reports, any later one is ignored (the manager may have started a new process).
    void stopped(DWORD serviceSpecificCode = 0);

    // True once a stop was asked for.
    bool stopWasRequested() const { return stopAsked != 0; }
    // True once SERVICE_STOPPED was reported.
    bool stopReported() const { return stoppedReported != 0; }

private:
    static DWORD WINAPI onControl(DWORD control, DWORD, LPVOID, LPVOID context);
    void report(DWORD state, DWORD waitHint);

    Lock lock;
    SERVICE_STATUS_HANDLE handle = nullptr;
    SERVICE_STATUS status = {};
    tstring serviceName;
    UniqueHandle stopEvent;
    volatile LONG stopAsked = 0;
    volatile LONG stoppedReported = 0;
};

#endif

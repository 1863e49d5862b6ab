// The service's side of the service control manager: its status as the manager sees it.
#ifndef CORVELA_SERVICESTATUS_H
#define CORVELA_SERVICESTATUS_H

#include <windows.h>

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

// One service per process: registered once, then reported to from any thread.
namespace ServiceStatus {

// Registers the control handler. A stop, preshutdown or shutdown control reports
// STOP_PENDING and sets `stopRequested`.
void registerHandler(const tstring& name, HANDLE stopRequested);

const tstring& name();

void startPending();
void running();
void stopPending(DWORD waitHintMillis);
// SERVICE_STOPPED with exit code 0, or with a service-specific code; the first of these
// calls reports, any later one is ignored (the manager may have started a new process).
void stopped(DWORD serviceSpecificCode = 0);

// True once a stop was asked for.
bool stopWasRequested();
// True once SERVICE_STOPPED was reported.
bool stopReported();

} // namespace ServiceStatus

#endif

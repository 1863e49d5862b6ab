// Status reports to the service control manager, and its controls (ServiceStatus.h).
#include "ServiceStatus.h"

#include "ErrorHandling.h"
#include "Lock.h"
#include "Log.h"
#include "WindowsSupport.h"

namespace {

Lock statusLock;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status = {};
tstring serviceName;
HANDLE stopEvent = nullptr;
volatile LONG stopAsked = 0;
volatile LONG stoppedReported = 0;

// Called with the lock held. A pending state counts its checkpoint up, so that the manager
// sees progress; every other state resets it.
void report(DWORD state, DWORD waitHint) {
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwCheckPoint = pending && status.dwCurrentState == state ? status.dwCheckPoint + 1 : 0;
    status.dwCurrentState = state;
    status.dwWaitHint = waitHint;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING
            ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN
            : 0;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI onControl(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_PRESHUTDOWN:
    case SERVICE_CONTROL_SHUTDOWN:
        if (InterlockedExchange(&stopAsked, 1) == 0) {
            ServiceStatus::stopPending(5000);
            SetEvent(stopEvent);
        }
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

} // namespace

namespace ServiceStatus {

void registerHandler(const tstring& name, HANDLE stopRequested) {
    serviceName = name;
    stopEvent = stopRequested;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    statusHandle = RegisterServiceCtrlHandlerExW(name.c_str(), onControl, nullptr);
    if (!statusHandle) {
        THROW_LAST_ERROR(&RegisterServiceCtrlHandlerExW,
                         L"RegisterServiceCtrlHandlerEx(" << name << L") failed");
    }
}

const tstring& name() {
    return serviceName;
}

void startPending() {
    const Lock::Scope scope(statusLock);
    if (!stoppedReported) {
        report(SERVICE_START_PENDING, 3000);
    }
}

void running() {
    const Lock::Scope scope(statusLock);
    if (!stoppedReported && !stopAsked) {
        LOG_TRACE(L"Service running");
        report(SERVICE_RUNNING, 0);
    }
}

void stopPending(DWORD waitHintMillis) {
    const Lock::Scope scope(statusLock);
    if (!stoppedReported) {
        report(SERVICE_STOP_PENDING, waitHintMillis);
    }
}

namespace {

void reportStopped(DWORD serviceSpecificCode) {
    if (stoppedReported || !statusHandle) {
        return;
    }
    stoppedReported = 1;
    status.dwWin32ExitCode = serviceSpecificCode ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    status.dwServiceSpecificExitCode = serviceSpecificCode;
    report(SERVICE_STOPPED, 0);
}

} // namespace

void stopped(DWORD serviceSpecificCode) {
    const Lock::Scope scope(statusLock);
    reportStopped(serviceSpecificCode);
}

bool stopWasRequested() {
    return stopAsked != 0;
}

bool stopReported() {
    return stoppedReported != 0;
}

} // namespace ServiceStatus

// Status reports to the service control manager, and its controls (ServiceStatus.h).
#include "ServiceStatus.h"

#include "ErrorHandling.h"
#include "Log.h"

ServiceStatus::ServiceStatus() : stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!stopEvent) {
        THROW_LAST_ERROR(&CreateEventW, L"CreateEvent() failed");
    }
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
}

// Called with the lock held. A pending state counts its checkpoint up, so that the manager
// sees progress; every other state resets it.
void ServiceStatus::report(DWORD state, DWORD waitHint) {
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwCheckPoint = pending && status.dwCurrentState == state ? status.dwCheckPoint + 1 : 0;
    status.dwCurrentState = state;
    status.dwWaitHint = waitHint;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING
            ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN
            : 0;
    SetServiceStatus(handle, &status);
}

DWORD WINAPI ServiceStatus::onControl(DWORD control, DWORD, LPVOID, LPVOID context) {
    ServiceStatus& self = *static_cast<ServiceStatus*>(context);
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_PRESHUTDOWN:
    case SERVICE_CONTROL_SHUTDOWN:
        if (InterlockedExchange(&self.stopAsked, 1) == 0) {
            self.stopPending(5000);
            SetEvent(self.stopEvent.get());
        }
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void ServiceStatus::registerHandler(const tstring& name) {
    serviceName = name;
    handle = RegisterServiceCtrlHandlerExW(name.c_str(), onControl, this);
    if (!handle) {
        THROW_LAST_ERROR(&RegisterServiceCtrlHandlerExW,
                         L"RegisterServiceCtrlHandlerEx(" << name << L") failed");
    }
}

void ServiceStatus::startPending() {
    const Lock::Scope scope(lock);
    if (!stoppedReported) {
        report(SERVICE_START_PENDING, 3000);
    }
}

void ServiceStatus::running() {
    const Lock::Scope scope(lock);
    if (!stoppedReported && !stopAsked) {
        LOG_TRACE(L"Service running");
        report(SERVICE_RUNNING, 0);
    }
}

void ServiceStatus::stopPending(DWORD waitHintMillis) {
    const Lock::Scope scope(lock);
    if (!stoppedReported) {
        report(SERVICE_STOP_PENDING, waitHintMillis);
    }
}

void ServiceStatus::stopped(DWORD serviceSpecificCode) {
    const Lock::Scope scope(lock);
    if (stoppedReported || !handle) {
        return;
    }
    stoppedReported = 1;
    status.dwWin32ExitCode = serviceSpecificCode ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    status.dwServiceSpecificExitCode = serviceSpecificCode;
    report(SERVICE_STOPPED, 0);
}

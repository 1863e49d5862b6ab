// Stopping a service before an installer touches its files (ServiceStop.h).
#include "ServiceStop.h"

#include <algorithm>

#include "ErrorHandling.h"
#include "Log.h"
#include "WindowsSupport.h"

namespace {

typedef WindowsResource<SC_HANDLE, &CloseServiceHandle> UniqueServiceHandle;

// What a service gets beyond its own wait hint: a stop that reports no progress for this long
// past its hint has stalled.
constexpr ULONGLONG marginMillis = 10000;
// How often the status is read again while the service's process lives: the manager tells
// no one of a new checkpoint, and a process may report STOPPED a moment before it ends.
constexpr DWORD shortestRecheckMillis = 250;
constexpr DWORD longestRecheckMillis = 2000;

const wchar_t* stateName(DWORD state) {
    switch (state) {
    case SERVICE_STOPPED:
        return L"STOPPED";
    case SERVICE_START_PENDING:
        return L"START_PENDING";
    case SERVICE_STOP_PENDING:
        return L"STOP_PENDING";
    case SERVICE_RUNNING:
        return L"RUNNING";
    case SERVICE_CONTINUE_PENDING:
        return L"CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING:
        return L"PAUSE_PENDING";
    case SERVICE_PAUSED:
        return L"PAUSED";
    default:
        return L"an unknown state";
    }
}

bool isGone(DWORD error) {
    return error == ERROR_SERVICE_DOES_NOT_EXIST || error == ERROR_SERVICE_MARKED_FOR_DELETE;
}

// The service's status, or false when it was deleted meanwhile: nothing of it runs any more.
bool query(SC_HANDLE service, const tstring& name, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                             sizeof(status), &needed)) {
        return true;
    }
    if (isGone(GetLastError())) {
        return false;
    }
    THROW_LAST_ERROR(&QueryServiceStatusEx, L"QueryServiceStatusEx(" << name << L") failed");
}

// The service's process, held from the first status that names it: its end is what frees the
// service's files, and it is seen even once the manager has forgotten the process's id.
class ServiceProcess {
public:
    void follow(DWORD pid) {
        if (!handle && pid) {
            handle.reset(OpenProcess(SYNCHRONIZE, FALSE, pid));
        }
    }

    bool followed() const { return static_cast<bool>(handle); }

    bool ended() const { return handle && WaitForSingleObject(handle.get(), 0) == WAIT_OBJECT_0; }

    // Waits up to `millis`, ending early when the process ends.
    void waitForEnd(DWORD millis) const {
        if (handle) {
            WaitForSingleObject(handle.get(), millis);
        } else {
            Sleep(millis);
        }
    }

private:
    UniqueHandle handle;
};

// The bound of the wait, as the service sets it: each change of state or checkpoint gives it
// its wait hint anew, plus the margin.
class Progress {
public:
    void note(const SERVICE_STATUS_PROCESS& status) {
        const ULONGLONG now = GetTickCount64();
        if (!seen || status.dwCurrentState != state || status.dwCheckPoint != checkPoint) {
            seen = true;
            state = status.dwCurrentState;
            checkPoint = status.dwCheckPoint;
            since = now;
            deadline = now + status.dwWaitHint + marginMillis;
        }
        hint = status.dwWaitHint;
    }

    bool overdue() const { return GetTickCount64() >= deadline; }

    // How long to wait before the status is read again.
    DWORD nextCheckMillis() const {
        const ULONGLONG left = deadline - std::min(deadline, GetTickCount64());
        const DWORD recheck =
            std::clamp<DWORD>(hint / 10, shortestRecheckMillis, longestRecheckMillis);
        return static_cast<DWORD>(std::min<ULONGLONG>(left, recheck));
    }

    DWORD stateNow() const { return state; }
    ULONGLONG millisInState() const { return GetTickCount64() - since; }

private:
    bool seen = false;
    DWORD state = 0;
    DWORD checkPoint = 0;
    DWORD hint = 0;
    ULONGLONG since = 0;
    ULONGLONG deadline = 0;
};

// Asks a running service to stop. One that is on its way already, or not yet able to take
// the request, is waited for all the same.
void askToStop(SC_HANDLE service, const tstring& name) {
    SERVICE_STATUS ignored = {};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &ignored)) {
        const DWORD error = GetLastError();
        if (error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL && error != ERROR_SERVICE_NOT_ACTIVE &&
            !isGone(error)) {
            THROW_SYSTEM_ERROR_CODE(error, &ControlService,
                                    L"ControlService(" << name
                                                       << L", SERVICE_CONTROL_STOP) failed");
        }
    }
}

UniqueServiceHandle openService(const tstring& name) {
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        THROW_LAST_ERROR(&OpenSCManagerW, L"OpenSCManagerW() failed");
    }
    UniqueServiceHandle service(
        OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS | SERVICE_STOP));
    if (!service && !isGone(GetLastError())) {
        THROW_LAST_ERROR(&OpenServiceW, L"OpenServiceW(" << name << L") failed");
    }
    return service;
}

} // namespace

namespace ServiceStop {

void stopAndWait(const tstring& name) {
    const UniqueServiceHandle service = openService(name);
    ServiceProcess process;
    Progress progress;
    bool asked = false;
    SERVICE_STATUS_PROCESS status = {};
    while (service && query(service.get(), name, status)) {
        process.follow(status.dwProcessId);
        if (process.ended() || (!process.followed() && status.dwCurrentState == SERVICE_STOPPED)) {
            LOG_TRACE(L"Service " << name << L" stopped");
            return;
        }
        // A service that is still starting is asked once it runs.
        if (!asked &&
            (status.dwCurrentState == SERVICE_RUNNING || status.dwCurrentState == SERVICE_PAUSED)) {
            askToStop(service.get(), name);
            asked = true;
        }
        progress.note(status);
        if (progress.overdue()) {
            THROW_ERROR(LauncherError(
                (tstrings::Builder()
                 << L"The service " << name << L" did not stop: it has reported "
                 << stateName(progress.stateNow()) << L" for " << progress.millisInState() / 1000
                 << L" seconds without progress")
                    .str()));
        }
        process.waitForEnd(progress.nextCheckMillis());
    }
    LOG_TRACE(L"Service " << name << L" is gone");
}

} // namespace ServiceStop

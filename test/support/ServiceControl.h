// Test support: services under the service control manager, their status and a wait on it.
#ifndef CORVELA_SERVICECONTROL_H
#define CORVELA_SERVICECONTROL_H

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <type_traits>

namespace testing_support {

struct ServiceHandleCloser {
    void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
// The manager or a service, closed when dropped.
typedef std::unique_ptr<std::remove_pointer<SC_HANDLE>::type, ServiceHandleCloser> ServiceHandle;

inline SERVICE_STATUS_PROCESS query(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    EXPECT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                     reinterpret_cast<BYTE*>(&status), sizeof(status), &needed))
        << GetLastError();
    return status;
}

inline bool isPending(const SERVICE_STATUS_PROCESS& status) {
    return status.dwCurrentState == SERVICE_START_PENDING ||
           status.dwCurrentState == SERVICE_STOP_PENDING;
}

inline void WINAPI noteServiceChange(void*) {}

// Waits, on the manager's notice of a change of state, until the service leaves the pending
// states, for at most `limitMs`; its status then. A service still pending at the limit is
// returned so, for the caller's check to name the state it stayed in.
inline SERVICE_STATUS_PROCESS waitWhilePending(SC_HANDLE service, DWORD limitMs = 30000) {
    const ULONGLONG deadline = GetTickCount64() + limitMs;
    SERVICE_STATUS_PROCESS status = query(service);
    // Outlives an unanswered request: the manager may still write to it.
    static SERVICE_NOTIFYW notice;
    for (ULONGLONG now = GetTickCount64(); isPending(status) && now < deadline;
         now = GetTickCount64()) {
        notice = SERVICE_NOTIFYW();
        notice.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
        notice.pfnNotifyCallback = noteServiceChange;
        const DWORD error = NotifyServiceStatusChangeW(
            service, SERVICE_NOTIFY_RUNNING | SERVICE_NOTIFY_STOPPED | SERVICE_NOTIFY_PAUSED,
            &notice);
        if (error != ERROR_SUCCESS) {
            ADD_FAILURE() << "NotifyServiceStatusChange failed: " << error;
            break;
        }
        if (SleepEx(static_cast<DWORD>(deadline - now), TRUE) !=
            WAIT_IO_COMPLETION) {
            break;
        }
        status = query(service);
    }
    return query(service);
}

} // namespace testing_support

#endif

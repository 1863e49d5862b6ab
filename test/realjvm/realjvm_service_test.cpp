// The service launcher under Wine's service control manager with a genuine Windows Java 17:
// the server runs, a stop ends it through System.exit with its shutdown hook run, and the
// manager reads SERVICE_STOPPED with exit code 0.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>

#include "RealJvmSupport.h"
#include "TestSupport.h"

namespace ts = testing_support;
using realjvm_test::RealImage;

namespace {

struct ServiceHandleCloser {
    void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
typedef std::unique_ptr<std::remove_pointer<SC_HANDLE>::type, ServiceHandleCloser> ServiceHandle;

SERVICE_STATUS_PROCESS query(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    EXPECT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                     reinterpret_cast<BYTE*>(&status), sizeof(status), &needed))
        << GetLastError();
    return status;
}

// The manager tells no waiter of a change: its status is read until it leaves the pending
// states, a tenth of a second apart, for at most a minute (a real JVM starts slower than the
// stand-in).
SERVICE_STATUS_PROCESS waitWhilePending(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status = query(service);
    for (DWORD waited = 0; waited < 60000 && (status.dwCurrentState == SERVICE_START_PENDING ||
                                              status.dwCurrentState == SERVICE_STOP_PENDING);
         waited += 100) {
        Sleep(100);
        status = query(service);
    }
    return status;
}

// Waits until `path` holds `text`, woken by changes in its directory, for at most a minute.
bool waitForFileText(const std::wstring& dir, const std::wstring& path, const std::string& text) {
    const HANDLE changes = FindFirstChangeNotificationW(
        dir.c_str(), FALSE, FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE |
                                FILE_NOTIFY_CHANGE_FILE_NAME);
    const ULONGLONG deadline = GetTickCount64() + 60000;
    bool found = false;
    while (!(found = ts::readFile(path) == text) && GetTickCount64() < deadline &&
           WaitForSingleObject(changes, static_cast<DWORD>(deadline - GetTickCount64())) ==
               WAIT_OBJECT_0) {
        FindNextChangeNotification(changes);
    }
    FindCloseChangeNotification(changes);
    return found;
}

TEST(RealJvmService, AStopEndsTheServerThroughSystemExitWithItsShutdownHook) {
    ts::TempDir dir(L"realjvm-service");
    RealImage image(dir / L"Server", L"Server", L"corvela-service.exe",
                    realjvm_test::realRuntimeDir(L"java17"));
    const std::wstring logs = dir / L"logs";
    const std::wstring hookFile = dir / L"hook.txt";
    image.cfg("app.log-dir=" + ts::utf8(logs) + "\n[ArgOptions]\narguments=hook\narguments=" +
              ts::utf8(hookFile) + "\n");
    const std::wstring outLog = logs + L"\\Server.out.log";

    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager) << GetLastError();
    const std::wstring name = L"CorvelaRealJvm" + std::to_wstring(GetCurrentProcessId());
    const std::wstring binPath = L"\"" + image.exe() + L"\"";
    const ServiceHandle service(CreateServiceW(
        manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binPath.c_str(), nullptr, nullptr, nullptr,
        nullptr, nullptr));
    ASSERT_TRUE(service) << GetLastError();
    const std::shared_ptr<void> deleteService(nullptr,
                                              [&](void*) { DeleteService(service.get()); });

    ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
    const SERVICE_STATUS_PROCESS running = waitWhilePending(service.get());
    ASSERT_EQ(running.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING))
        << ts::readFile(logs + L"\\Server.err.log");
    // The probe says "ready" once its hook is in place.
    ASSERT_TRUE(waitForFileText(logs, outLog, "ready\r\n"))
        << ts::readFile(outLog) << ts::readFile(logs + L"\\Server.err.log");

    SERVICE_STATUS status = {};
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
    const SERVICE_STATUS_PROCESS stopped = waitWhilePending(service.get());
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, running.dwProcessId);
    if (process) {
        EXPECT_EQ(WaitForSingleObject(process, 60000), WAIT_OBJECT_0);
        CloseHandle(process);
    }
    EXPECT_EQ(stopped.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(stopped.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(ts::readFile(hookFile), "shutdown hook ran\n");
    EXPECT_EQ(ts::readFile(outLog), "ready\r\nshutdown hook ran\r\n");
}

} // namespace

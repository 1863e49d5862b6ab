// The service launcher under Wine's service control manager with a genuine Windows Java 17:
// the server runs, a stop ends it through System.exit with its shutdown hook run, and the
// manager reads SERVICE_STOPPED with exit code 0.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>

#include "RealJvmSupport.h"
#include "ServiceControl.h"
#include "TestSupport.h"

namespace ts = testing_support;
using realjvm_test::RealImage;
using ts::ServiceHandle;

namespace {

// A real JVM starts and stops slower than the stand-in server.
const DWORD realJvmLimitMs = 60000;

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
    const SERVICE_STATUS_PROCESS running = ts::waitWhilePending(service.get(), realJvmLimitMs);
    ASSERT_EQ(running.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING))
        << ts::readFile(logs + L"\\Server.err.log");
    // The probe says "ready" once its hook is in place.
    ASSERT_TRUE(ts::waitForFileText(outLog, "ready\r\n"))
        << ts::readFile(outLog) << ts::readFile(logs + L"\\Server.err.log");

    SERVICE_STATUS status = {};
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
    const SERVICE_STATUS_PROCESS stopped = ts::waitWhilePending(service.get(), realJvmLimitMs);
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

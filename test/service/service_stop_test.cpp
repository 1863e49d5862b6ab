// corvela-service-stop.exe, which installers run before they touch a service's files: it
// returns once the service's process has ended, and fails for a service that hangs.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>

#include "LauncherImage.h"
#include "ServiceControl.h"
#include "TestSupport.h"

namespace ts = testing_support;

namespace {

class ServiceStopTest : public ::testing::Test {
protected:
    ServiceStopTest()
        : manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)),
          name(L"CorvelaStopTest" + std::to_wstring(GetCurrentProcessId()) + L"x" +
               std::to_wstring(++serial)) {}

    ~ServiceStopTest() override {
        if (process) {
            TerminateProcess(process.get(), 1);
        }
        if (service) {
            DeleteService(service.get());
        }
    }

    // Installs and starts the service whose program is `exe`, and holds its process.
    void start(const std::wstring& exe) {
        ASSERT_TRUE(manager) << GetLastError();
        const std::wstring binPath = L"\"" + exe + L"\"";
        service.reset(CreateServiceW(manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                     SERVICE_ERROR_NORMAL, binPath.c_str(), nullptr, nullptr,
                                     nullptr, nullptr, nullptr));
        ASSERT_TRUE(service) << GetLastError();
        ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
        const SERVICE_STATUS_PROCESS running = ts::waitWhilePending(service.get());
        ASSERT_EQ(running.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
        process.reset(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, running.dwProcessId));
        ASSERT_TRUE(process) << GetLastError();
    }

    ts::ProcessResult stopAndWait(const std::wstring& names) {
        const std::wstring helper = ts::binDir() + L"\\corvela-service-stop.exe";
        return ts::run(helper, L"\"" + helper + L"\" " + names, {}, 120000);
    }

    bool processEnded() const { return WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0; }

    struct HandleCloser {
        void operator()(HANDLE handle) const { CloseHandle(handle); }
    };

    static int serial;
    ts::TempDir dir{L"servicestop"};
    ts::ServiceHandle manager;
    ts::ServiceHandle service;
    std::unique_ptr<void, HandleCloser> process;
    std::wstring name;
};

int ServiceStopTest::serial = 0;

// A server whose shutdown hook takes three seconds, as a database's that writes out its data.
TEST_F(ServiceStopTest, ReturnsOnceTheProcessOfASlowServerHasEnded) {
    ts::Image image(dir / L"Server", L"Server", L"corvela-service.exe");
    image.runtime(L"server_jli.dll", L"jli.dll");
    image.runtime(L"server_jvm.dll", L"server\\jvm.dll");
    image.cfg("[Application]\napp.mainclass=server.Main\napp.log-dir=" + ts::utf8(dir / L"logs") +
              "\n[JavaOptions]\njava-options=-Dstandin.hook-ms=3000\n");
    start(image.exe());

    const ts::ProcessResult result = stopAndWait(name);
    EXPECT_EQ(result.exitCode, 0u) << result.err;
    EXPECT_TRUE(processEnded());
    EXPECT_EQ(ts::query(service.get()).dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(ts::readFile(dir / L"logs\\Server.out.log"), "server started\nshutdown hook ran\n");
}

TEST_F(ServiceStopTest, AServiceThatIsNotThereIsStoppedAlready) {
    const ts::ProcessResult result = stopAndWait(L"CorvelaNoSuchService " + name);
    EXPECT_EQ(result.exitCode, 0u) << result.err;
    EXPECT_EQ(result.err, "");
}

// Asked to stop, it reports a second's wait and then nothing more: the wait ends in a failure
// that names the service, and the service's process is left as it was.
TEST_F(ServiceStopTest, AServiceThatHangsOnItsWayDownFailsTheWait) {
    start(ts::binDir() + L"\\stalled_service.exe");

    const ts::ProcessResult result = stopAndWait(name);
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_NE(result.err.find("The service " + ts::utf8(name) +
                              " did not stop: it has reported STOP_PENDING for"),
              std::string::npos)
        << result.err;
    EXPECT_FALSE(processEnded());
}

} // namespace

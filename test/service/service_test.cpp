// The service launcher under the service control manager, with the stand-in server runtime:
// start, stop, a stop the server ignores, failures, and its logs.
#include <gtest/gtest.h>

#include <windows.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "LauncherImage.h"
#include "ServiceControl.h"
#include "TestSupport.h"

namespace ts = testing_support;
using ts::Image;
using ts::isPending;
using ts::query;
using ts::ServiceHandle;
using ts::waitWhilePending;

namespace {

// The checkpoints a pending service reports, read while it is pending: the manager tells
// no one of a new checkpoint, so its status is read a tenth of a second apart.
SERVICE_STATUS_PROCESS watchWhilePending(SC_HANDLE service, std::set<DWORD>& checkPoints) {
    SERVICE_STATUS_PROCESS status = query(service);
    for (DWORD waited = 0; waited < 30000 && isPending(status); waited += 100) {
        checkPoints.insert(status.dwCheckPoint);
        Sleep(100);
        status = query(service);
    }
    return status;
}

// Waits for the service's process to end by its handle.
void waitForProcessEnd(DWORD pid) {
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process) {
        EXPECT_EQ(WaitForSingleObject(process, 30000), WAIT_OBJECT_0);
        CloseHandle(process);
    }
}

bool contains(const std::string& text, const std::string& what) {
    return text.find(what) != std::string::npos;
}

// The error log holds the application's standard error and the service launcher's own
// lines, each of those with its time: "2026-03-05 14:07:09.042 Service stopped".
const std::regex serviceLine("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} (.*?)\r?");

// The service launcher's lines, without their times.
std::vector<std::string> serviceLines(const std::string& log) {
    std::vector<std::string> lines;
    std::smatch match;
    for (const std::string& line : ts::splitLines(log)) {
        if (std::regex_match(line, match, serviceLine)) {
            lines.push_back(match[1].str());
        }
    }
    return lines;
}

// The application's lines.
std::string applicationLines(const std::string& log) {
    std::string text;
    for (const std::string& line : ts::splitLines(log)) {
        if (!std::regex_match(line, serviceLine)) {
            text += line + "\n";
        }
    }
    return text;
}

class ServiceTest : public ::testing::Test {
protected:
    ServiceTest()
        : image(dir / L"Server", L"Server", L"corvela-service.exe"),
          manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)),
          name(L"CorvelaTest" + std::to_wstring(GetCurrentProcessId()) + L"x" +
               std::to_wstring(++serial)) {
        image.runtime(L"server_jli.dll", L"jli.dll");
        image.runtime(L"server_jvm.dll", L"server\\jvm.dll");
    }

    ~ServiceTest() override {
        if (service) {
            SERVICE_STATUS status = {};
            ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
            waitWhilePending(service.get());
            DeleteService(service.get());
        }
    }

    // The server's configuration: `javaOption` chooses what the stand-in server does.
    void cfg(const std::string& javaOption, const std::string& application = std::string()) {
        image.cfg("[Application]\napp.mainclass=server.Main\napp.log-dir=" + ts::utf8(logDir()) +
                  "\n" + application + "[JavaOptions]\njava-options=" + javaOption + "\n");
    }

    std::wstring logDir() const { return dir / L"logs"; }
    std::string outLog() const { return ts::readFile(logDir() + L"\\Server.out.log"); }
    std::string errLog() const { return ts::readFile(logDir() + L"\\Server.err.log"); }

    void install() {
        ASSERT_TRUE(manager) << GetLastError();
        const std::wstring binPath = L"\"" + image.exe() + L"\"";
        service.reset(CreateServiceW(manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                     SERVICE_ERROR_NORMAL, binPath.c_str(), nullptr, nullptr,
                                     nullptr, nullptr, nullptr));
        ASSERT_TRUE(service) << GetLastError();
    }

    SERVICE_STATUS_PROCESS start(std::set<DWORD>* checkPoints = nullptr) {
        EXPECT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
        return checkPoints ? watchWhilePending(service.get(), *checkPoints)
                           : waitWhilePending(service.get());
    }

    SERVICE_STATUS_PROCESS stop(std::set<DWORD>* checkPoints = nullptr) {
        SERVICE_STATUS status = {};
        const DWORD pid = query(service.get()).dwProcessId;
        EXPECT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
        const SERVICE_STATUS_PROCESS stopped = checkPoints
                                                   ? watchWhilePending(service.get(), *checkPoints)
                                                   : waitWhilePending(service.get());
        waitForProcessEnd(pid);
        return stopped;
    }

    static int serial;
    ts::TempDir dir{L"service"};
    Image image;
    ServiceHandle manager;
    ServiceHandle service;
    std::wstring name;
};

int ServiceTest::serial = 0;

TEST_F(ServiceTest, StartsRunningWithItsOutputInTheLogsAndStopsThroughItsShutdownHook) {
    cfg("-Dstandin.stop=hook");
    install();
    const SERVICE_STATUS_PROCESS running = start();
    ASSERT_EQ(running.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING)) << errLog();
    EXPECT_EQ(running.dwControlsAccepted & SERVICE_ACCEPT_STOP,
              static_cast<DWORD>(SERVICE_ACCEPT_STOP));
    EXPECT_EQ(outLog(), "server started\n");
    EXPECT_EQ(applicationLines(errLog()), "server notice\n");

    const SERVICE_STATUS_PROCESS stopped = stop();
    EXPECT_EQ(stopped.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(stopped.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(outLog(), "server started\nshutdown hook ran\n");
    // When it started, ran, was asked to stop and stopped, each with its time.
    const std::vector<std::string> lines = serviceLines(errLog());
    ASSERT_EQ(lines.size(), 4u) << errLog();
    EXPECT_EQ(lines[0].rfind("Service " + ts::utf8(name) + " starting: " + ts::utf8(image.exe()) +
                                 ", process ",
                             0),
              0u)
        << lines[0];
    EXPECT_EQ(lines[1], "Service running: the JVM is created");
    EXPECT_EQ(lines[2], "Stop requested");
    EXPECT_EQ(lines[3], "Service stopped");

    // Started again, it appends.
    ASSERT_EQ(start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(stop().dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(outLog(), "server started\nshutdown hook ran\nserver started\nshutdown hook ran\n");
}

// A server slow to start and slow to stop: the manager sees progress all along (a stalled
// checkpoint counts as a hung service), a machine's shutdown reaches its hooks, and without
// app.service-stop-timeout a hook of a few seconds ends cleanly.
TEST_F(ServiceTest, ASlowServerShowsProgressAndItsHookEndsWithinTheDefaultTimeout) {
    cfg("-Dstandin.stop=hook\njava-options=-Dstandin.start-ms=1500\n"
        "java-options=-Dstandin.hook-ms=3000");
    install();
    std::set<DWORD> starting;
    const SERVICE_STATUS_PROCESS running = start(&starting);
    ASSERT_EQ(running.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING)) << errLog();
    EXPECT_GE(starting.size(), 2u) << "the checkpoint never advanced while starting";
    const DWORD controls =
        SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;
    EXPECT_EQ(running.dwControlsAccepted & controls, controls);

    std::set<DWORD> stopping;
    const SERVICE_STATUS_PROCESS stopped = stop(&stopping);
    EXPECT_GE(stopping.size(), 2u) << "the checkpoint never advanced while stopping";
    EXPECT_EQ(stopped.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(stopped.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR)) << errLog();
    EXPECT_EQ(outLog(), "server started\nshutdown hook ran\n");
}

TEST_F(ServiceTest, AServerThatIgnoresTheStopIsEndedAfterTheTimeoutWithAnError) {
    cfg("-Dstandin.stop=ignore", "app.service-stop-timeout=1\n");
    install();
    ASSERT_EQ(start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING)) << errLog();
    const DWORD before = GetTickCount();
    const SERVICE_STATUS_PROCESS stopped = stop();
    EXPECT_LT(GetTickCount() - before, 15000u);
    EXPECT_EQ(stopped.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(stopped.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
    EXPECT_EQ(stopped.dwServiceSpecificExitCode, 2u);
    EXPECT_EQ(outLog(), "server started\nshutdown hook hangs\n");
    EXPECT_TRUE(contains(errLog(), "The application did not end within 1 seconds of the stop "
                                   "request (app.service-stop-timeout)"))
        << errLog();
}

// A launch that fails reaches the manager at once as a failure, with its reason in the
// error log, however early it fails.
TEST_F(ServiceTest, FailuresAtStartAreReportedAtOnceWithTheirReasonInTheErrorLog) {
    struct Case {
        const char* what;
        const char* application;
        bool removeRuntime;
        const char* logged;
    } cases[] = {
        {"bad stop timeout", "app.service-stop-timeout=20s\n", false,
         "Invalid value \"20s\" of app.service-stop-timeout in [Application]"},
        {"no runtime", "", true, "Failed to find JVM in"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        cfg("-Dstandin.stop=hook", c.application);
        if (c.removeRuntime) {
            ts::removeTree(image.root + L"\\runtime");
        }
        install();
        const DWORD before = GetTickCount();
        const SERVICE_STATUS_PROCESS status = start();
        EXPECT_LT(GetTickCount() - before, 10000u);
        EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
        EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
        EXPECT_EQ(status.dwServiceSpecificExitCode, 1u);
        EXPECT_TRUE(contains(errLog(), c.logged)) << errLog();
        DeleteService(service.get());
        service.reset();
        ts::removeTree(logDir());
        name += L"n";
    }
}

// The manager starts services in the system directory, where an application's relative data
// folder must not land: a service runs in a folder of its own beside its default logs,
// %ProgramData%\\NAME\\work, made when missing, or in the one app.working-dir names.
TEST_F(ServiceTest, RunsInAWorkingDirectoryOfItsOwn) {
    const std::wstring configured = dir / L"data here";
    const struct {
        const char* what;
        std::string application;
        std::string cwdEnding;
    } cases[] = {
        {"by default", "", "\\Server\\work"},
        {"app.working-dir", "app.working-dir=" + ts::utf8(configured) + "\n",
         ts::utf8(configured)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        cfg("-Dstandin.cwd=1", c.application);
        install();
        ASSERT_EQ(start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING)) << errLog();
        EXPECT_EQ(stop().dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
        const std::vector<std::string> lines = ts::splitLines(outLog());
        ASSERT_GE(lines.size(), 2u) << outLog();
        const std::string cwd = lines[1];
        ASSERT_EQ(cwd.rfind("cwd: ", 0), 0u) << cwd;
        ASSERT_GE(cwd.size(), c.cwdEnding.size());
        EXPECT_EQ(cwd.substr(cwd.size() - c.cwdEnding.size()), c.cwdEnding) << cwd;
        EXPECT_EQ(cwd.find("system32"), std::string::npos) << cwd;
        DeleteService(service.get());
        service.reset();
        ts::removeTree(logDir());
        name += L"w";
    }
}

// A runtime that cannot create its JVM ends the process through its C runtime's exit() at
// once: the manager hears of it as the failure it is, promptly, never a service left RUNNING
// or START_PENDING with no process behind it, and the runtime's reason is in the error log.
TEST_F(ServiceTest, ARuntimeThatEndsTheStartIsReportedStoppedWithItsReason) {
    cfg("-Dstandin.exit-at-start=1");
    install();
    const DWORD before = GetTickCount();
    const SERVICE_STATUS_PROCESS status = start();
    EXPECT_LT(GetTickCount() - before, 10000u);
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
    EXPECT_EQ(status.dwServiceSpecificExitCode, 3u);
    EXPECT_TRUE(contains(errLog(), "Error: Could not create the Java Virtual Machine.\n"))
        << errLog();
    EXPECT_TRUE(contains(errLog(), "The Java runtime ended the process before its JVM was created"))
        << errLog();
}

// A server that ends on its own is a failure the manager sees, with its output logged; on
// Windows the recovery actions then restart it, which Wine's manager does not do.
TEST_F(ServiceTest, AServerEndingOnItsOwnIsReportedAsAFailure) {
    const std::wstring eventName = name + L"crash";
    const HANDLE crash = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    ASSERT_TRUE(crash);
    cfg("-Dstandin.crash-event=" + ts::utf8(eventName));
    install();
    ASSERT_EQ(start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING)) << errLog();
    const DWORD pid = query(service.get()).dwProcessId;
    SetEvent(crash);
    waitForProcessEnd(pid);
    CloseHandle(crash);
    const SERVICE_STATUS_PROCESS status = query(service.get());
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
    EXPECT_EQ(status.dwServiceSpecificExitCode, 3u);
    EXPECT_EQ(applicationLines(errLog()), "server notice\nserver crashed\n");
    const std::vector<std::string> lines = serviceLines(errLog());
    ASSERT_GE(lines.size(), 2u) << errLog();
    EXPECT_EQ(lines[lines.size() - 2], "The application ended the process without a stop");
    EXPECT_EQ(lines.back(), "Service stopped on a failure (service-specific exit code 3)");
}

// Run only by the service_trace test, whose prefix boots with CORVELA_DEBUG=true in the
// system environment, which the service manager hands to every service it starts: Wine's
// manager reads no per-service environment.
class ServiceTraceTest : public ServiceTest {};

// The debug switch's trace of the launch, which goes to standard error, is in the error log
// of a service (started without standard streams), beside the service's own lines; the
// application's output is untouched.
TEST_F(ServiceTraceTest, TheDebugSwitchTracesTheLaunchIntoTheErrorLog) {
    ASSERT_EQ(ts::utf8(ts::env(L"CORVELA_DEBUG")), "true")
        << "run by the service_trace test, with CORVELA_DEBUG=true in the system environment";
    cfg("-Dstandin.stop=hook");
    install();
    ASSERT_EQ(start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING)) << errLog();
    EXPECT_EQ(stop().dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    const std::string log = errLog();
    for (const char* traced : {"[TRACE] app.cpp:", ": Entering app::launch",
                               "[TRACE] WinLauncher.cpp:", "jli arg[0]: ["}) {
        EXPECT_TRUE(contains(log, traced)) << traced << " is not in\n" << log;
    }
    const std::vector<std::string> lines = serviceLines(log);
    ASSERT_EQ(lines.size(), 4u) << log;
    EXPECT_EQ(lines[1], "Service running: the JVM is created");
    EXPECT_EQ(lines[3], "Service stopped");
    EXPECT_EQ(outLog(), "server started\nshutdown hook ran\n");
}

// Output past the size limit rolls into numbered files, the oldest beyond the kept number
// deleted.
TEST_F(ServiceTest, OutputRollsAtTheConfiguredSize) {
    cfg("-Dstandin.print=32768", "app.log-max-size=1024\napp.log-keep=2\n");
    install();
    ASSERT_EQ(start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING)) << errLog();
    EXPECT_EQ(stop().dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    const std::wstring out = logDir() + L"\\Server.out.log";
    const std::string newest = ts::readFile(out);
    EXPECT_FALSE(ts::readFile(out + L".1").empty());
    EXPECT_FALSE(ts::readFile(out + L".2").empty());
    EXPECT_EQ(GetFileAttributesW((out + L".3").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(newest.find("shutdown hook ran\n"), std::string::npos) << newest;
}

} // namespace

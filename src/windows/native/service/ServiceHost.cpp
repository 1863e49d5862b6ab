// The service launcher (ServiceHost.h): the launch on a worker thread, watched for the manager.
#include <windows.h>

#include <memory>

#include "AppImage.h"
#include "CfgFile.h"
#include "ErrorHandling.h"
#include "EventLog.h"
#include "FileUtils.h"
#include "JvmControl.h"
#include "Log.h"
#include "LogFile.h"
#include "ServiceHost.h"
#include "ServiceLogs.h"
#include "ServiceSettings.h"
#include "ServiceStatus.h"
#include "SysInfo.h"
#include "UserLogs.h"
#include "WinLauncher.h"
#include "WorkingDir.h"
#include "WindowsSupport.h"
#include "app.h"

namespace {

ServiceLogs* logs = nullptr; // lives until the process ends
HANDLE stopEvent = nullptr;
volatile LONG appExitCode = 1;
volatile LONG nothingToAsk = 0;
DWORD dispatcherError = ERROR_SUCCESS;

// A service has no C runtime streams: its standard error is the handle that leads into the
// error log, written to directly. Each of the service's own lines carries its time, so that
// the log tells when it started, stopped, and failed.
void writeToErrorLog(const std::string& message) {
    const std::string line = LogFile::timeStamp() + " " + message + "\r\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()),
              &written, nullptr);
}

// How the frame shows a failure of the service: in the error log and the event log.
void reportFailure(const std::string& message) {
    writeToErrorLog(message);
    EventLog::reportError(ServiceStatus::name(), message);
}

int launchInProcess() {
    // The manager watches the process it started: a restart would leave it watching a
    // launcher that only waits. "PATH" is extended here instead.
    return launchApp(SearchPathPolicy::ExtendInProcess);
}

// What the service's launch runs: the image and configuration the service read already.
struct ServiceLaunch {
    AppImage image;
    CfgFile cfg;
};

int launchServiceInProcess(const void* launch) {
    const ServiceLaunch& read = *static_cast<const ServiceLaunch*>(launch);
    return launchApp(read.image, read.cfg, SearchPathPolicy::ExtendInProcess);
}

DWORD WINAPI runApp(LPVOID launch) {
    InterlockedExchange(&appExitCode,
                        app::launch(std::nothrow, launchServiceInProcess, launch, reportFailure));
    return 0;
}

void closeLogs() {
    if (logs) {
        logs->close();
    }
}

// The service's last word: its line in the error log, the logs closed, then SERVICE_STOPPED.
void endService(DWORD serviceSpecificCode = 0) {
    if (!ServiceStatus::stopReported()) {
        writeToErrorLog(serviceSpecificCode == 0
                            ? std::string("Service stopped")
                            : (tstrings::Builder() << L"Service stopped on a failure "
                                                      L"(service-specific exit code "
                                                   << serviceSpecificCode << L")")
                                  .str());
    }
    closeLogs();
    ServiceStatus::stopped(serviceSpecificCode);
}

// A real runtime ends the process from inside System.exit, through the C runtime's exit()
// of its own (the universal C runtime), on a thread of its own; so does it a start it cannot
// make (a JVM it cannot create), with its reason on standard error, which is the error log.
// That exit() runs this first: what the application wrote reaches the logs, and the manager
// hears of the end before the process is gone, which it would otherwise take for a crash
// (or, under Wine, never hear of). An end that no stop asked for is a failure: a service
// runs until it is stopped.
void __cdecl onRuntimeExit() {
    if (ServiceStatus::stopReported()) {
        return;
    }
    if (!ServiceStatus::stopWasRequested()) {
        writeToErrorLog(JvmControl::created()
                            ? "The application ended the process without a stop"
                            : "The Java runtime ended the process before its JVM was created");
    }
    endService(ServiceStatus::stopWasRequested() ? 0 : ServiceExit::endedItself);
}

// Registered before the runtime is loaded, in the process-wide table of the C runtime it
// uses: a runtime may end the process at its first step. The system's universal C runtime is
// the one every runtime's libraries bind to, by its name, once it is loaded.
void hookRuntimeExit() {
    typedef int(__cdecl * CrtAtExitFn)(void(__cdecl*)());
    HMODULE ucrt = GetModuleHandleW(L"ucrtbase.dll");
    if (!ucrt) {
        // Kept until the process ends: the hook lives in it.
        ucrt = LoadLibraryW(
            FileUtils::combinePath(SysInfo::getSystemDirectory(), L"ucrtbase.dll").c_str());
    }
    const CrtAtExitFn crtAtExit = ucrt ? reinterpret_cast<CrtAtExitFn>(reinterpret_cast<void*>(
                                             GetProcAddress(ucrt, "_crt_atexit")))
                                       : nullptr;
    if (!crtAtExit || crtAtExit(onRuntimeExit) != 0) {
        LOG_TRACE(L"No universal C runtime to hook: an exit() of the runtime is not reported");
    }
}

DWORD WINAPI askToExit(LPVOID) {
    try {
        if (!JvmControl::requestExit(0)) {
            InterlockedExchange(&nothingToAsk, 1);
        }
    } catch (const LauncherError& e) {
        writeToErrorLog(e.what());
    }
    return 0;
}

[[noreturn]] void endAfterStopTimeout(const ServiceSettings& settings) {
    const std::string message =
        (tstrings::Builder() << L"The application did not end within "
                             << settings.stopTimeoutSeconds
                             << L" seconds of the stop request (app.service-stop-timeout): "
                                L"the service launcher ends it")
            .str();
    logErrorMessage(SOURCE_POSITION, tstrings::fromUtf8(message));
    reportFailure(message);
    endService(ServiceExit::stopTimedOut);
    TerminateProcess(GetCurrentProcess(), ServiceExit::stopTimedOut);
    ExitProcess(ServiceExit::stopTimedOut);
}

// Asks the application to end as System.exit(0) would and waits for it, one second at a
// time so that the manager sees progress, up to the stop timeout.
void stop(HANDLE worker, const ServiceSettings& settings) {
    const DWORD timeoutMillis = settings.stopTimeoutSeconds * 1000;
    writeToErrorLog("Stop requested");
    ServiceStatus::stopPending(timeoutMillis + 2000);
    const UniqueHandle asker(CreateThread(nullptr, 0, askToExit, nullptr, 0, nullptr));
    if (!asker) {
        THROW_LAST_ERROR(&CreateThread, L"CreateThread() failed");
    }
    for (DWORD waited = 0; waited < timeoutMillis; waited += 250) {
        if (WaitForSingleObject(worker, 250) == WAIT_OBJECT_0 || nothingToAsk) {
            // Ended, or not begun: no JVM was there to ask.
            endService();
            if (nothingToAsk) {
                TerminateProcess(GetCurrentProcess(), 0);
            }
            return;
        }
        ServiceStatus::stopPending(timeoutMillis - waited + 2000);
    }
    endAfterStopTimeout(settings);
}

// Reports RUNNING once the runtime has created its JVM, and then waits for the application
// to end or for a stop.
void supervise(HANDLE worker, const ServiceSettings& settings) {
    const HANDLE events[] = {worker, stopEvent};
    bool running = false;
    for (;;) {
        switch (WaitForMultipleObjects(2, events, FALSE, running ? INFINITE : 100)) {
        case WAIT_OBJECT_0:
            endService(appExitCode == 0 ? 0 : ServiceExit::launchFailed);
            return;
        case WAIT_OBJECT_0 + 1:
            stop(worker, settings);
            return;
        case WAIT_TIMEOUT:
            running = JvmControl::created();
            if (running) {
                writeToErrorLog("Service running: the JVM is created");
                ServiceStatus::running();
            } else {
                ServiceStatus::startPending();
            }
            break;
        default:
            THROW_LAST_ERROR(&WaitForMultipleObjects, L"WaitForMultipleObjects() failed");
        }
    }
}

void openLogs(const ServiceSettings& settings, const AppImage& image) {
    logs = ServiceLogs::open(settings, image.launcherName()).release();
}

// The settings, with the logs open: a wrong value is reported in the error log as well.
ServiceSettings settingsWithLogs(const CfgFile& cfg, const AppImage& image) {
    ServiceSettings settings;
    try {
        settings = ServiceSettings::read(cfg, image);
    } catch (...) {
        openLogs(ServiceSettings::defaults(cfg, image), image);
        throw;
    }
    openLogs(settings, image);
    return settings;
}

int runService() {
    std::unique_ptr<ServiceLaunch> launch(
        new ServiceLaunch{AppImage::ofLauncher(SysInfo::getProcessModulePath()), CfgFile()});
    placeLauncherLog(launch->image);
    launch->cfg = launchCfgFile(launch->image);
    const ServiceSettings settings = settingsWithLogs(launch->cfg, launch->image);
    writeToErrorLog((tstrings::Builder() << L"Service " << ServiceStatus::name()
                                         << L" starting: " << launch->image.launcherPath()
                                         << L", process " << GetCurrentProcessId())
                        .str());
    // The manager starts services in the system directory: a relative path of the
    // application's must not land there. app.working-dir, when given, is entered again by
    // the launch, as by every launcher.
    if (settings.workDir.empty()) {
        writeToErrorLog("ProgramData is not set: the service runs in the directory it was "
                        "started in; name its working directory with app.working-dir");
    } else {
        WorkingDir::enter(settings.workDir, L"the service's working directory");
    }
    hookRuntimeExit();
    const UniqueHandle worker(CreateThread(nullptr, 0, runApp, launch.get(), 0, nullptr));
    if (!worker) {
        THROW_LAST_ERROR(&CreateThread, L"CreateThread() failed");
    }
    // Kept until the process ends: the worker uses it for as long as it runs, and the process
    // may end with the worker still running (a stop that timed out).
    launch.release();
    supervise(worker.get(), settings);
    return 0;
}

void WINAPI serviceMain(DWORD argc, LPWSTR* argv) {
    const tstring name = argc > 0 && argv[0] ? argv[0] : L"";
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    try {
        ServiceStatus::registerHandler(name, stopEvent);
    } catch (const LauncherError& e) {
        // No status can reach the manager: the event log is all there is.
        EventLog::reportError(name, e.what());
        return;
    }
    ServiceStatus::startPending();
    if (!stopEvent || app::launch(std::nothrow, runService, reportFailure) != 0) {
        endService(ServiceExit::launchFailed);
    }
}

int failDispatcher() {
    THROW_SYSTEM_ERROR_CODE(dispatcherError, &StartServiceCtrlDispatcherW,
                            L"StartServiceCtrlDispatcher() failed");
}

BOOL WINAPI onConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    try {
        // In a real runtime the call ends the process; without a JVM yet the system's own
        // handler ends it.
        return JvmControl::requestExit(0) ? TRUE : FALSE;
    }
    CATCH_AND_LOG
    return FALSE;
}

} // namespace

namespace ServiceHost {

bool runUnderManager(int& exitCode) {
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(L""), serviceMain}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherW(table)) {
        exitCode = ServiceStatus::stopReported() ? 0 : 1;
        return true;
    }
    dispatcherError = GetLastError();
    if (dispatcherError == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
        return false;
    }
    exitCode = app::launch(std::nothrow, failDispatcher);
    return true;
}

int runInConsole() {
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    return app::launch(std::nothrow, launchInProcess);
}

} // namespace ServiceHost

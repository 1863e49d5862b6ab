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
#include "StandardError.h"
#include "SysInfo.h"
#include "UserLogs.h"
#include "WinLauncher.h"
#include "WorkingDir.h"
#include "WindowsSupport.h"
#include "app.h"

namespace {

// A service has no C runtime streams: its standard error is the handle that leads into the
// error log, written to directly. Each of the service's own lines carries its time, so that
// the log tells when it started, stopped, and failed.
void writeToErrorLog(const std::string& message) {
    const std::string line = LogFile::timeStamp() + " " + message + "\r\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()),
              &written, nullptr);
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

// One service of this process, from the manager's start to SERVICE_STOPPED: its status, its
// logs, what it launches and how that launch ended. Made by the service's main; the manager's
// control handler and the launch's worker thread reach it through their context.
class Service {
public:
    explicit Service(const tstring& name);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Runs the service in the frame until SERVICE_STOPPED is reported.
    void runToEnd();

private:
    // The frame's launch function: reads the image, opens the logs, starts the launch on a
    // worker thread and watches it until the service ends.
    static int run(void* service);
    int run();
    // How the frame shows a failure of the service: in the error log and the event log.
    static void reportFailure(void* service, const std::string& message);
    // The service's last word: its line in the error log, the logs closed, then
    // SERVICE_STOPPED.
    void end(DWORD serviceSpecificCode = 0);
    void openLogs(const ServiceSettings& settings);
    ServiceSettings settingsWithLogs();
    void hookRuntimeExit();
    static void __cdecl onRuntimeExit();
    static DWORD WINAPI runApp(LPVOID service);
    static int launchReadImage(void* service);
    static DWORD WINAPI askToExit(LPVOID service);
    void supervise(const ServiceSettings& settings);
    void stop(const ServiceSettings& settings);
    [[noreturn]] void endAfterStopTimeout(const ServiceSettings& settings);

    ServiceStatus status;
    std::unique_ptr<ServiceLogs> logs;
    std::unique_ptr<ServiceLaunch> launch;
    UniqueHandle worker;
    volatile LONG appExitCode = 1;
    volatile LONG nothingToAsk = 0;
};

// The service whose end the runtime's exit() reports. The C runtime calls its exit hooks
// without a context, so this is the one way that hook finds the service; it is set while
// the hook can reach a live service, and cleared before the service goes away.
Service* volatile serviceAtExit = nullptr;

Service::Service(const tstring& name) {
    status.registerHandler(name);
}

// Only a failure while supervising leaves the launch's worker running here, in a service the
// manager was told has stopped: the process ends with it rather than leave the worker this
// object's remains.
Service::~Service() {
    serviceAtExit = nullptr;
    if (worker && WaitForSingleObject(worker.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(GetCurrentProcess(), ServiceExit::launchFailed);
    }
}

void Service::reportFailure(void* service, const std::string& message) {
    writeToErrorLog(message);
    EventLog::reportError(static_cast<Service*>(service)->status.name(), message);
}

int Service::launchReadImage(void* service) {
    const ServiceLaunch& read = *static_cast<Service*>(service)->launch;
    return launchApp(read.image, read.cfg, SearchPathPolicy::ExtendInProcess);
}

DWORD WINAPI Service::runApp(LPVOID param) {
    Service& service = *static_cast<Service*>(param);
    const int exitCode = app::launch(std::nothrow, launchReadImage, &service, reportFailure);
    InterlockedExchange(&service.appExitCode, exitCode);
    return 0;
}

void Service::end(DWORD serviceSpecificCode) {
    if (!status.stopReported()) {
        writeToErrorLog(serviceSpecificCode == 0
                            ? std::string("Service stopped")
                            : (tstrings::Builder() << L"Service stopped on a failure "
                                                      L"(service-specific exit code "
                                                   << serviceSpecificCode << L")")
                                  .str());
    }
    if (logs) {
        logs->close();
    }
    status.stopped(serviceSpecificCode);
}

// A real runtime ends the process from inside System.exit, through the C runtime's exit() of
// its own (the universal C runtime), on a thread of its own; so does it a start it cannot
// make (a JVM it cannot create), with its reason on standard error, which is the error log.
// That exit() runs this first: what the application wrote reaches the logs, and the manager
// hears of the end before the process is gone, which it would otherwise take for a crash
// (or, under Wine, never hear of). An end that no stop asked for is a failure: a service
// runs until it is stopped.
void __cdecl Service::onRuntimeExit() {
    Service* const service = serviceAtExit;
    if (!service || service->status.stopReported()) {
        return;
    }
    const bool stopRequested = service->status.stopWasRequested();
    if (!stopRequested) {
        writeToErrorLog(JvmControl::created()
                            ? "The application ended the process without a stop"
                            : "The Java runtime ended the process before its JVM was created");
    }
    service->end(stopRequested ? 0 : ServiceExit::endedItself);
}

// Registered before the runtime is loaded, in the process-wide table of the C runtime it
// uses: a runtime may end the process at its first step. The system's universal C runtime is
// the one every runtime's libraries bind to, by its name, once it is loaded.
void Service::hookRuntimeExit() {
    typedef int(__cdecl * CrtAtExitFn)(void(__cdecl*)());
    serviceAtExit = this;
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

DWORD WINAPI Service::askToExit(LPVOID param) {
    Service& service = *static_cast<Service*>(param);
    try {
        if (!JvmControl::requestExit(0)) {
            InterlockedExchange(&service.nothingToAsk, 1);
        }
    } catch (const LauncherError& e) {
        writeToErrorLog(e.what());
    }
    return 0;
}

void Service::endAfterStopTimeout(const ServiceSettings& settings) {
    const std::string message =
        (tstrings::Builder() << L"The application did not end within "
                             << settings.stopTimeoutSeconds
                             << L" seconds of the stop request (app.service-stop-timeout): "
                                L"the service launcher ends it")
            .str();
    logErrorMessage(SOURCE_POSITION, tstrings::fromUtf8(message));
    reportFailure(this, message);
    end(ServiceExit::stopTimedOut);
    TerminateProcess(GetCurrentProcess(), ServiceExit::stopTimedOut);
    ExitProcess(ServiceExit::stopTimedOut);
}

// Asks the application to end as System.exit(0) would and waits for it, one second at a
// time so that the manager sees progress, up to the stop timeout.
void Service::stop(const ServiceSettings& settings) {
    const DWORD timeoutMillis = settings.stopTimeoutSeconds * 1000;
    writeToErrorLog("Stop requested");
    status.stopPending(timeoutMillis + 2000);
    const UniqueHandle asker(CreateThread(nullptr, 0, askToExit, this, 0, nullptr));
    if (!asker) {
        THROW_LAST_ERROR(&CreateThread, L"CreateThread() failed");
    }
    for (DWORD waited = 0; waited < timeoutMillis; waited += 250) {
        if (WaitForSingleObject(worker.get(), 250) == WAIT_OBJECT_0 || nothingToAsk) {
            // Ended, or not begun: no JVM was there to ask.
            end();
            if (nothingToAsk) {
                TerminateProcess(GetCurrentProcess(), 0);
            }
            return;
        }
        status.stopPending(timeoutMillis - waited + 2000);
    }
    endAfterStopTimeout(settings);
}

// Reports RUNNING once the runtime has created its JVM, and then waits for the application
// to end or for a stop.
void Service::supervise(const ServiceSettings& settings) {
    const HANDLE events[] = {worker.get(), status.stopRequested()};
    bool running = false;
    for (;;) {
        switch (WaitForMultipleObjects(2, events, FALSE, running ? INFINITE : 100)) {
        case WAIT_OBJECT_0:
            end(appExitCode == 0 ? 0 : ServiceExit::launchFailed);
            return;
        case WAIT_OBJECT_0 + 1:
            stop(settings);
            return;
        case WAIT_TIMEOUT:
            running = JvmControl::created();
            if (running) {
                writeToErrorLog("Service running: the JVM is created");
                status.running();
            } else {
                status.startPending();
            }
            break;
        default:
            THROW_LAST_ERROR(&WaitForMultipleObjects, L"WaitForMultipleObjects() failed");
        }
    }
}

void Service::openLogs(const ServiceSettings& settings) {
    logs = ServiceLogs::open(settings, launch->image.launcherName());
    // The trace of CORVELA_DEBUG=true is written on standard error, which the service's own
    // C runtime never opened: it goes to the error log. Only with the trace, since the frame
    // writes a failure's message there as well, which the service writes with its time.
    if (app::debugSwitchOn()) {
        StandardError::followStandardHandle();
    }
}

// The settings, with the logs open: a wrong value is reported in the error log as well.
ServiceSettings Service::settingsWithLogs() {
    ServiceSettings settings;
    try {
        settings = ServiceSettings::read(launch->cfg, launch->image);
    } catch (...) {
        openLogs(ServiceSettings::defaults(launch->cfg, launch->image));
        throw;
    }
    openLogs(settings);
    return settings;
}

void Service::runToEnd() {
    status.startPending();
    if (app::launch(std::nothrow, run, this, reportFailure) != 0) {
        end(ServiceExit::launchFailed);
    }
}

int Service::run(void* service) {
    return static_cast<Service*>(service)->run();
}

int Service::run() {
    launch.reset(
        new ServiceLaunch{AppImage::ofLauncher(SysInfo::getProcessModulePath()), CfgFile()});
    placeLauncherLog(launch->image);
    launch->cfg = launchCfgFile(launch->image);
    const ServiceSettings settings = settingsWithLogs();
    writeToErrorLog((tstrings::Builder() << L"Service " << status.name() << L" starting: "
                                         << launch->image.launcherPath() << L", process "
                                         << GetCurrentProcessId())
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
    worker.reset(CreateThread(nullptr, 0, runApp, this, 0, nullptr));
    if (!worker) {
        THROW_LAST_ERROR(&CreateThread, L"CreateThread() failed");
    }
    supervise(settings);
    return 0;
}

// Returns once SERVICE_STOPPED is reported, or ends the process when no status can reach
// the manager: it then learns of the failure from the end of the process.
void WINAPI serviceMain(DWORD argc, LPWSTR* argv) {
    const tstring name = argc > 0 && argv[0] ? argv[0] : L"";
    std::unique_ptr<Service> service;
    try {
        service.reset(new Service(name));
    } catch (const LauncherError& e) {
        // No status can reach the manager: the event log is all there is.
        EventLog::reportError(name, e.what());
        ExitProcess(ServiceExit::launchFailed);
    }
    service->runToEnd();
}

int failDispatcher(void* error) {
    THROW_SYSTEM_ERROR_CODE(*static_cast<DWORD*>(error), &StartServiceCtrlDispatcherW,
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
        // The service reported SERVICE_STOPPED, with its own code: serviceMain returns only
        // then.
        exitCode = 0;
        return true;
    }
    DWORD dispatcherError = GetLastError();
    if (dispatcherError == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
        return false;
    }
    exitCode = app::launch(std::nothrow, failDispatcher, &dispatcherError);
    return true;
}

int runInConsole() {
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    return app::launch(std::nothrow, launchInProcess);
}

} // namespace ServiceHost

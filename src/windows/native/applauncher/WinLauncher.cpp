// Windows launch sequence (WinLauncher.h): the restart in a job, loading strategies, message loop.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iterator>
#include <memory>

#include "AppImage.h"
#include "AppLauncher.h"
#include "CfgFile.h"
#include "ClassData.h"
#include "Dll.h"
#include "ErrorHandling.h"
#include "Executor.h"
#include "FileUtils.h"
#include "JvmLauncher.h"
#include "Launch.h"
#include "Log.h"
#include "RestartRequest.h"
#include "RuntimeErrors.h"
#include "RuntimeSearch.h"
#include "SingleInstance.h"
#include "StagedUpdate.h"
#include "SysInfo.h"
#include "TaskbarIdentity.h"
#include "Toolbox.h"
#include "UserLogs.h"
#include "UserOptions.h"
#include "WinLauncher.h"
#include "WorkingDir.h"
#include "WindowsSupport.h"
#include "app.h"

namespace {

// Set by a launcher for the child it restarts, naming the executable. A child that finds it
// launches in process whatever "PATH" says, so that a directory the "PATH" test cannot
// recognise (one whose name holds ";") does not restart the launcher without end. The child
// removes it at once so that the application and its own children never see it.
const wchar_t* const restartMarkerVarName = L"CORVELA_RESTARTED_FROM";

bool takeRestartMarker(const tstring& launcherPath) {
    const tstring marker = SysInfo::getEnvVariable(restartMarkerVarName, tstring());
    if (marker.empty()) {
        return false;
    }
    SetEnvironmentVariableW(restartMarkerVarName, nullptr);
    return tstrings::toLower(marker) == tstrings::toLower(launcherPath);
}

typedef DLL_DIRECTORY_COOKIE(WINAPI* AddDllDirectoryFunc)(PCWSTR);

std::unique_ptr<Dll> loadDllWithAddDllDirectory(const tstring& path) {
    TRACE_FUNCTION();
    const tstring dir = FileUtils::dirname(path);

    // kernel32 is in every process from its first instruction: looked up where it is rather
    // than loaded once more, which would open the file again on every start.
    const AddDllDirectoryFunc addDllDirectory =
        reinterpret_cast<AddDllDirectoryFunc>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "AddDllDirectory")));
    if (!addDllDirectory) {
        THROW_LAST_ERROR(&GetProcAddress,
                         L"GetProcAddress(" << FileUtils::combinePath(SysInfo::getSystemDirectory(),
                                                                      L"kernel32.dll")
                                            << L", AddDllDirectory) failed");
    }
    if (!addDllDirectory(dir.c_str())) {
        THROW_LAST_ERROR(addDllDirectory, L"AddDllDirectory(" << dir << L") failed");
    }
    LOG_TRACE(L"AddDllDirectory(" << dir << L"): OK");

    // Loaded with the added directory so that its dependencies resolve. The Dll takes this
    // very reference; loading the library once more by path would open the file again.
    UniqueModule module(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS));
    LOG_TRACE(L"LoadLibraryEx(" << path << L", LOAD_LIBRARY_SEARCH_DEFAULT_DIRS): "
                                << static_cast<const void*>(module.get()));
    if (module) {
        return std::unique_ptr<Dll>(new Dll(tstrings::Builder() << path, module.release()));
    }
    return std::unique_ptr<Dll>(new Dll(tstrings::Builder() << path));
}

std::unique_ptr<Dll> loadDllWithAlteredPATH(const tstring& path) {
    TRACE_FUNCTION();
    const tstring pathVarName = L"PATH";
    const tstring oldValue = SysInfo::getEnvVariable(pathVarName);
    const tstring newValue = oldValue + L";" + FileUtils::dirname(path);
    SysInfo::setEnvVariable(pathVarName, newValue);
    LOG_TRACE(L"New value of " << pathVarName << L": " << newValue);

    const auto restorePath = atEndOfScope(
        [&pathVarName, &oldValue]() { SysInfo::setEnvVariable(pathVarName, oldValue); });
    return std::unique_ptr<Dll>(new Dll(tstrings::Builder() << path));
}

std::unique_ptr<Dll> loadDllWithFallback(const tstring& path) {
    try {
        return loadDllWithAddDllDirectory(path);
    } catch (const std::exception&) {
        // The second strategy's failure is the one the user gets to see.
    }
    return loadDllWithAlteredPATH(path);
}

tstring serverJvmLibPath(const Jvm& jvm) {
    return FileUtils::mkpath() << FileUtils::dirname(jvm.libraryPath()) << L"server" << L"jvm.dll";
}

// What the restart parent owes its child when the session or the console ends: Windows may
// end the parent first, and the kill-on-close job would then end the application before
// its shutdown hooks ran. So the parent waits for the job to empty before it lets go.
class RestartParent {
public:
    // One restart per process: the job lives until the process ends.
    static void watch(HANDLE job) {
        restartJob = job;
        // A handler routine, not SetConsoleCtrlHandler(NULL, TRUE): children inherit that
        // setting, and the application would never see Ctrl+C.
        SetConsoleCtrlHandler(consoleEvent, TRUE);
    }

    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
        case WM_QUERYENDSESSION:
            return TRUE;
        case WM_ENDSESSION:
            if (wParam) {
                LOG_TRACE(L"End of session: waiting for the restarted application");
                waitUntilJobIsEmpty();
            }
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
        }
    }

private:
    static BOOL WINAPI consoleEvent(DWORD event) {
        if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
            // The application shares this console and got the same event: it decides.
            return TRUE;
        }
        // Console closed, logoff or shutdown.
        waitUntilJobIsEmpty();
        return FALSE;
    }

    static void waitUntilJobIsEmpty() {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
        while (restartJob &&
               QueryInformationJobObject(restartJob, JobObjectBasicAccountingInformation, &info,
                                         sizeof(info), nullptr) &&
               info.ActiveProcesses > 0) {
            Sleep(20);
        }
    }

    static HANDLE restartJob;
};

HANDLE RestartParent::restartJob = nullptr;

// Runs an Executor on a worker thread while this thread pumps window messages.
class RunExecutorWithMsgLoop {
public:
    static DWORD apply(const Executor& executor) {
        RunExecutorWithMsgLoop instance(executor);

        // The child starts first: the parent's window is not needed for that, and making it
        // costs time (under Wine, a display driver that may not be there) that would
        // otherwise come before every restarted application.
        const UniqueHandle thread(CreateThread(nullptr, 0, worker, &instance, 0, nullptr));
        if (!thread) {
            THROW_LAST_ERROR(&CreateThread, L"CreateThread() failed");
        }
        bool topLevel = false;
        DWORD topLevelError = ERROR_SUCCESS;
        instance.window = createWindow(topLevel, topLevelError);
        SetEvent(instance.windowReady.get());

        MSG msg;
        BOOL result;
        while (instance.window && (result = GetMessageW(&msg, instance.window.get(), 0, 0)) != 0) {
            if (result == -1) {
                const DWORD error = GetLastError();
                // The worker still uses `instance`: it must not go away under it.
                waitForWorkerOrExit(thread.get());
                THROW_SYSTEM_ERROR_CODE(error, &GetMessageW, L"GetMessage() failed");
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }

        if (WaitForSingleObject(thread.get(), INFINITE) == WAIT_FAILED) {
            const DWORD error = GetLastError();
            waitForWorkerOrExit(thread.get());
            THROW_SYSTEM_ERROR_CODE(error, &WaitForSingleObject, L"WaitForSingleObject() failed");
        }
        // Told only now, while nothing else writes: the child's trace shares the stream.
        if (!topLevel) {
            LOG_TRACE(L"No top-level window (error " << topLevelError
                                                     << L"): the message loop runs on a "
                                                        L"message-only window");
        }
        LOG_TRACE(L"Executor worker thread terminated. Exit code=" << instance.exitCode);
        if (instance.failure) {
            // A child that could not be started or put in the job is a failure of this
            // launch like any other: the user must see it.
            std::rethrow_exception(instance.failure);
        }
        return instance.exitCode;
    }

private:
    explicit RunExecutorWithMsgLoop(const Executor& executor)
        : executor(executor), exitCode(1),
          windowReady(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        if (!windowReady) {
            THROW_LAST_ERROR(&CreateEventW, L"CreateEvent() failed");
        }
    }

    // A hidden top-level window: only such a window is told that the session ends. Where
    // none can be made (no window station with a desktop, Wine without a display) the loop
    // runs on a message-only window, and `topLevelError` says why. Where not even that can
    // be made, the parent waits for its child without a loop: the launch must not fail for
    // a window, least of all with the application running already.
    static UniqueWindow createWindow(bool& topLevel, DWORD& topLevelError) {
        const HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = RestartParent::windowProc;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = L"CorvelaRestartParent";
        const bool registered =
            RegisterClassExW(&windowClass) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
        UniqueWindow window;
        if (registered) {
            window.reset(CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, nullptr,
                                         nullptr, instance, nullptr));
        }
        topLevel = static_cast<bool>(window);
        if (!window) {
            topLevelError = GetLastError();
            window.reset(CreateWindowExW(0, registered ? windowClass.lpszClassName : L"STATIC", L"",
                                         0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr));
        }
        return window;
    }

    RunExecutorWithMsgLoop(const RunExecutorWithMsgLoop&) = delete;
    RunExecutorWithMsgLoop& operator=(const RunExecutorWithMsgLoop&) = delete;

    // Leaving while the worker runs would free the object it uses; when even waiting
    // fails there is nothing sound left but to end the process.
    static void waitForWorkerOrExit(HANDLE thread) {
        if (WaitForSingleObject(thread, INFINITE) == WAIT_FAILED) {
            exit(1);
        }
    }

    static DWORD WINAPI worker(LPVOID param) {
        static_cast<RunExecutorWithMsgLoop*>(param)->run();
        return 0;
    }

    void run() {
        try {
            exitCode = executor.execAndWaitForExit();
        } catch (...) {
            failure = std::current_exception();
        }
        // The main thread makes the window while the child runs; wait for it, or for the
        // word that there is none.
        WaitForSingleObject(windowReady.get(), INFINITE);
        if (!window) {
            return;
        }
        try {
            if (!PostMessageW(window.get(), WM_QUIT, 0, 0)) {
                THROW_LAST_ERROR(&PostMessageW, L"PostMessage(WM_QUIT) failed");
            }
        } catch (const LauncherError& e) {
            logException(SOURCE_POSITION, e);
            exit(1);
        } catch (...) {
            logUnknownException(SOURCE_POSITION);
            exit(1);
        }
    }

    const Executor& executor;
    DWORD exitCode;
    // What the worker raised, for the main thread to raise again once the worker is gone.
    std::exception_ptr failure;
    // Set once the main thread has made its window (or found it cannot): the worker posts
    // the quit message to it.
    UniqueHandle windowReady;
    UniqueWindow window;
};

AppLauncher appLauncherFor(const AppImage& image) {
    AppLauncher appLauncher;
    appLauncher.setExecutablePath(image.launcherPath())
        .setImageRootDir(image.rootDir())
        .addJvmLibRelativePath(L"bin\\jli.dll")
        .setAppDir(image.appDir())
        .setSearchPathVarName(L"PATH")
        .setDefaultRuntimeDir(image.defaultRuntimeDir());
    for (const tstring& dir : image.userCopyDirs()) {
        appLauncher.addCfgLookupDir(dir);
    }
    return appLauncher;
}

// The one place a launch changes "PATH": for the restarted child, which inherits it, or
// for this process when it hosts the JVM without a restart.
void extendSearchPath(const SearchPathVariable& searchPath) {
    SysInfo::setEnvVariable(searchPath.varName(), searchPath.extendedValue());
}

// Once the child has ended: true when it asked to be started again, with the exit code the
// configuration names now (an update may have changed it), and the budget allows it.
bool restartRequested(const AppLauncher& appLauncher, DWORD exitCode,
                      RestartRequest::Budget& budget) {
    std::uint32_t restartCode = 0;
    if (!RestartRequest::exitCodeIn(appLauncher.loadCfgFile(), appLauncher, restartCode) ||
        exitCode != restartCode) {
        return false;
    }
    if (!budget.take(GetTickCount64())) {
        LOG_TRACE(L"The application asked for a restart (exit code "
                  << exitCode << L") more than " << RestartRequest::Budget::maxRestarts
                  << L" times within a minute: the launcher ends with that code");
        return false;
    }
    LOG_TRACE(L"The application asked for a restart (exit code " << exitCode
                                                                 << L"): starting it again");
    return true;
}

// Runs the application in a child, in a job, with this process's arguments and standard
// handles, and returns its exit code, for this process to end with. With `restartOnRequest`
// (the configuration names a restart exit code), starts it again, in a new process, for as
// long as it asks to be.
int restartInJob(const AppLauncher& appLauncher, const AppImage& image,
                 const SearchPathVariable& searchPath, bool restartOnRequest) {
    const tstring& launcherPath = image.launcherPath();
    if (!searchPath.listsAppDir()) {
        extendSearchPath(searchPath);
    }

    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job) {
        THROW_LAST_ERROR(&CreateJobObjectW, L"CreateJobObject() failed");
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof(limits))) {
        THROW_LAST_ERROR(&SetInformationJobObject, L"SetInformationJobObject() failed");
    }

    Executor executor(launcherPath);
    executor.visible(true).jobObject(job.get()).suspended(true).inherit(true).standardHandles(true);
    const tstring_array args = SysInfo::getCommandArgs();
    std::copy(args.begin(), args.end(), std::back_inserter(executor));

    SysInfo::setEnvVariable(restartMarkerVarName, launcherPath);
    RestartParent::watch(job.get());
    RestartRequest::Budget budget;
    DWORD exitCode = 0;
    for (;;) {
        exitCode = RunExecutorWithMsgLoop::apply(executor);
        if (!restartOnRequest || !restartRequested(appLauncher, exitCode, budget)) {
            break;
        }
        // A version the application staged before it asked for the restart.
        StagedUpdate::applyAtStart(image, appLauncher.loadCfgFile());
    }
    // The job handle is never closed: it closes with the process, which ends whatever is
    // still in the job then, after the frame's end-of-run record.
    job.release();
    return static_cast<int>(exitCode);
}

// Loads the runtime's libraries (and, for a splash screen, the JVM and splash libraries
// first, as the runtime expects them) and runs the application in this process.
int runInProcess(Jvm& jvm) {
    const tstring jliDir = FileUtils::dirname(jvm.libraryPath());
    SetDllDirectoryW(jliDir.c_str());
    LOG_TRACE(L"SetDllDirectory to: " << jliDir);

    const std::unique_ptr<Dll> jli = loadDllWithFallback(jvm.libraryPath());
    std::unique_ptr<Dll> splashLib;
    if (jvm.hasSplashOption()) {
        const std::unique_ptr<Dll> serverJvmLib = loadDllWithFallback(serverJvmLibPath(jvm));
        splashLib = loadDllWithFallback(FileUtils::mkpath() << jliDir << L"splashscreen.dll");
    }
    RuntimeErrors::watchRuntimeExit();
    try {
        jvm.launch();
    } catch (const LauncherError& e) {
        RuntimeErrors::raiseWithRuntimeText(e);
    }
    return 0;
}

} // namespace

CfgFile launchCfgFile(const AppImage& image) {
    return appLauncherFor(image).loadCfgFile();
}

int launchApp(SearchPathPolicy policy) {
    AllowSetForegroundWindow(ASFW_ANY);

    const AppImage image = AppImage::ofLauncher(SysInfo::getProcessModulePath());
    placeLauncherLog(image);
    return launchApp(image, launchCfgFile(image), policy);
}

int launchApp(const AppImage& image, const CfgFile& cfgAsRead, SearchPathPolicy policy) {
    const bool restartedChild = takeRestartMarker(image.launcherPath());
    AppLauncher appLauncher = appLauncherFor(image);
    // A staged version replaces the image's files, its configuration among them.
    const CfgFile cfg = !restartedChild && StagedUpdate::applyAtStart(image, cfgAsRead)
                            ? appLauncher.loadCfgFile()
                            : cfgAsRead;
    const std::unique_ptr<Dll> taskbarIdentity = TaskbarIdentity::apply(cfg);
    if (!restartedChild && SingleInstance::handOverIfListening(image, cfg)) {
        return 0;
    }
    // An image without a runtime of its own runs on one installed on the machine.
    if (RuntimeSearch::applies(cfg, image.defaultRuntimeDir())) {
        appLauncher.setDefaultRuntimeDir(RuntimeSearch::findInstalled(
            RuntimeSearch::VersionRange::of(cfg), image.launcherName()));
    }
    // Read by the process the user started as well, so that its errors come before any child.
    const UserOptions userOptions = UserOptions::of(image);

    const SearchPathVariable searchPath = appLauncher.searchPathVariable();
    // A JVM cannot be made twice in one process: an application that may ask to be started
    // again runs in a child, whatever "PATH" says.
    std::uint32_t restartCode = 0;
    const bool restartOnRequest =
        !restartedChild && policy == SearchPathPolicy::RestartWhenMissing &&
        RestartRequest::exitCodeIn(cfg, appLauncher, restartCode);
    if (!restartedChild && (!searchPath.listsAppDir() || restartOnRequest)) {
        if (policy == SearchPathPolicy::RestartWhenMissing) {
            // The runtime is looked for before any child, so that the user learns of a
            // broken image from this process, not from one that then goes away.
            appLauncher.findJvmLib(cfg);
            return restartInJob(appLauncher, image, searchPath, restartOnRequest);
        }
        extendSearchPath(searchPath);
    }

    const std::unique_ptr<Jvm> jvm = appLauncher.createJvmLauncher(cfg);
    const Launch launch = {image, cfg, *jvm};
    // The steps of the process that hosts the JVM, each in a file of its own, run here.
    if (SingleInstance::join(launch)) {
        return 0;
    }
    // After the hand-over, which passes on the directory the user started from.
    WorkingDir::applyConfigured(launch);
    addJvmErrorFile(launch);
    RuntimeErrors::capture(launch);
    userOptions.addTo(launch.jvm);
    const bool makesClassData = ClassData::addOptions(launch);
    // After class data: the host's process id is in no archive's key, or no archive would
    // ever be used twice.
    SingleInstance::nameHost(launch);
    if (!makesClassData) {
        SingleInstance::listenBeforeMain(launch);
    }
    return runInProcess(*jvm);
}

int launchApp() {
    return launchApp(SearchPathPolicy::RestartWhenMissing);
}

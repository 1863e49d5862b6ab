// Faults an image may hold: each is reported clearly and costs nothing else.
#include <gtest/gtest.h>

#include <windows.h>

#include "LauncherImage.h"
#include "TestSupport.h"
#include "StartsWith.h"

namespace ts = testing_support;
using ts::count;
using ts::Image;
using ts::LaunchPath;

namespace {

class FaultsTest : public ::testing::Test {
protected:
    ts::TempDir dir{L"faults"};
};

// Holds a file open with no sharing, as another program might at the worst moment.
class LockedFile {
public:
    explicit LockedFile(const std::wstring& path)
        : handle(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {}
    ~LockedFile() {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
    bool locked() const { return handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle;
};

const char* const cfg = "[Application]\napp.mainclass=app.Main\n";

TEST_F(FaultsTest, CrashingRuntimeGivesTheCrashCodeInProcessAndThroughARestart) {
    Image image(dir / L"Demo");
    image.cfg(cfg);
    for (LaunchPath path : {LaunchPath::InProcess, LaunchPath::Restart}) {
        const ts::ProcessResult r =
            image.run(path, L"", {{L"STANDIN_CRASH", L"1"}, {L"CORVELA_DEBUG", L"0"}});
        EXPECT_EQ(r.exitCode, 0xC0000005u)
            << (path == LaunchPath::InProcess ? "in process" : "restart");
        EXPECT_EQ(r.leftRunning, 0u) << "a process of the run outlived the launcher";
    }
}

TEST_F(FaultsTest, KillingTheLauncherEndsItsRestartedChild) {
    Image image(dir / L"Demo");
    image.cfg(cfg);
    DeleteFileW(image.recordPath().c_str());
    const ts::NamedEvent running;
    ts::ScopedEnv record(L"STANDIN_RECORD", image.recordPath());
    ts::ScopedEnv ready(L"STANDIN_READY_EVENT", running.name());
    ts::ScopedEnv sleep(L"STANDIN_SLEEP_MS", L"60000");
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = L"\"" + image.exe() + L"\"";
    ASSERT_TRUE(CreateProcessW(image.exe().c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &si, &pi));
    ASSERT_TRUE(running.waitFor(30000)) << "the child never reached JLI_Launch";
    const std::string childPid = ts::Record::read(image.recordPath()).get("pid");
    ASSERT_NE(childPid, std::to_string(pi.dwProcessId));
    HANDLE child = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, std::stoul(childPid));
    ASSERT_NE(child, nullptr);

    TerminateProcess(pi.hProcess, 5);
    WaitForSingleObject(pi.hProcess, INFINITE);
    const DWORD waited = WaitForSingleObject(child, 10000);
    EXPECT_EQ(waited, WAIT_OBJECT_0) << "the child outlived the launcher: the job did not end it";
    if (waited != WAIT_OBJECT_0) {
        TerminateProcess(child, 1);
    }
    CloseHandle(child);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

TEST_F(FaultsTest, ProgramsTheApplicationStartsOutliveTheLauncher) {
    // The job ends the restarted launcher with its parent, but what the application starts
    // on its own (a helper, an updater) breaks away and lives on: it reports only once it is
    // told that the launcher has ended.
    Image image(dir / L"Demo");
    image.cfg(cfg);
    image.maxProcesses = 0;
    const ts::NamedEvent launcherEnded;
    const std::wstring report = dir / L"helper.txt";
    const ts::ProcessResult r =
        image.run(LaunchPath::Restart, L"",
                  {{L"STANDIN_SPAWN", L"\"" + ts::binDir() + L"\\argv_echo.exe\" helper"},
                   {L"ARGV_ECHO_WAIT_EVENT", launcherEnded.name()},
                   {L"ARGV_ECHO_OUT", report}});
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(count(r.err, "CreateProcess["), 1u) << "not the restart path: " << r.err;
    const std::string spawned = image.record().get("spawned");
    ASSERT_NE(spawned, "failed");
    ASSERT_FALSE(spawned.empty());
    const HANDLE helper = OpenProcess(SYNCHRONIZE, FALSE, std::stoul(spawned));
    SetEvent(launcherEnded.handle());
    ASSERT_NE(helper, nullptr) << "the application's own program died with the launcher";
    EXPECT_EQ(WaitForSingleObject(helper, 30000), WAIT_OBJECT_0);
    CloseHandle(helper);
    const std::vector<std::string> echoed = ts::splitLines(ts::readFile(report));
    ASSERT_EQ(echoed.size(), 2u) << "the application's own program did not report";
    EXPECT_EQ(ts::unhexWide(echoed[1]), L"helper");
}

TEST_F(FaultsTest, LockedOrVanishedFilesFailClearlyWithNoChildLeft) {
    Image image(dir / L"Demo");
    image.cfg(cfg);
    ts::writeFile(image.appDir() + L"\\.package", "Pkg\n");
    const std::string root = ts::utf8(image.root);
    const std::wstring jli = image.root + L"\\runtime\\bin\\jli.dll";
    struct Case {
        std::wstring locked; // held open without sharing during the run
        std::string message; // what the user is told: the start of standard error
    } cases[] = {
        {image.appDir() + L"\\Demo.cfg", "Error opening \"" + root + "\\app\\Demo.cfg\" file: "},
        {image.appDir() + L"\\.package", "Error opening \"" + root + "\\app\\.package\" file: "},
        {jli, "LoadLibraryW(" + root + "\\runtime\\bin\\jli.dll) failed. System error ["},
    };
    for (const Case& c : cases) {
        for (LaunchPath path : {LaunchPath::InProcess, LaunchPath::Restart}) {
            LockedFile lock(c.locked);
            ASSERT_TRUE(lock.locked());
            const ts::ProcessResult r = image.run(path, L"", {{L"CORVELA_DEBUG", L"0"}});
            EXPECT_EQ(r.exitCode, 1u) << r.err;
            EXPECT_TRUE(ts::StartsWith(r.err, c.message)) << r.err;
            EXPECT_EQ(r.leftRunning, 0u) << "a process of the run outlived the launcher";
        }
    }

    // The runtime library's place taken by a directory: it "exists", but cannot be loaded.
    DeleteFileW(jli.c_str());
    ASSERT_TRUE(CreateDirectoryW(jli.c_str(), nullptr));
    const ts::ProcessResult r = image.run(LaunchPath::InProcess, L"", {{L"CORVELA_DEBUG", L"0"}});
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_TRUE(ts::StartsWith(r.err, "LoadLibraryW(" + root + "\\runtime\\bin\\jli.dll) failed."))
        << r.err;
}

TEST_F(FaultsTest, PathTooLongToExtendIsAClearErrorWithoutRestart) {
    Image image(dir / L"Demo");
    image.cfg(cfg);
    std::wstring path = L"C:\\windows\\system32;C:\\windows";
    while (path.size() < 32740) {
        path += L";C:\\padding";
    }
    const ts::ProcessResult r = image.run(LaunchPath::Restart, L"", {{L"PATH", path}});
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_EQ(count(r.err, "CreateProcess"), 0u);
    EXPECT_NE(r.err.find("\nCannot add the application directory to PATH: the value would be "),
              std::string::npos)
        << r.err.substr(0, 2000);
    EXPECT_FALSE(image.record().has("call"));
}

} // namespace

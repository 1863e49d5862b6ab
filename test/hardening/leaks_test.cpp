// Handles and modules do not grow over hundreds of runs of every operation.
#include <gtest/gtest.h>

#include <windows.h>

#define PSAPI_VERSION 2
#include <psapi.h>

#include <cstdlib>
#include <functional>
#include <set>

#include "CfgFile.h"
#include "Dll.h"
#include "ErrorHandling.h"
#include "Executor.h"
#include "JvmLauncher.h"
#include "Log.h"
#include "LogCapture.h"
#include "PackageFile.h"
#include "SysInfo.h"
#include "Raises.h"
#include "TestSupport.h"

namespace ts = testing_support;

namespace {

DWORD handleCount() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

std::set<HMODULE> loadedModules() {
    HMODULE modules[1024];
    DWORD needed = 0;
    EnumProcessModules(GetCurrentProcess(), modules, sizeof(modules), &needed);
    return std::set<HMODULE>(modules, modules + needed / sizeof(HMODULE));
}

class LeaksTest : public ::testing::Test {
protected:
    // Runs an operation once to settle what it loads for good, then a few hundred times:
    // neither the handle count nor the set of loaded modules may grow.
    void expectNoGrowth(const char* what, const std::function<void()>& operation, int times = 300) {
        operation();
        const DWORD handles = handleCount();
        const std::set<HMODULE> modules = loadedModules();
        for (int i = 0; i < times; ++i) {
            operation();
        }
        EXPECT_LE(handleCount(), handles) << what;
        EXPECT_EQ(loadedModules(), modules) << what;
    }

    ts::QuietLog quiet;
    ts::TempDir dir{L"leaks"};
};

template <class F> void expectRaise(F f) {
    EXPECT_NE(ts::raisedMessage(f), "<no error>");
}

typedef int (*TestValueFunc)();

TEST_F(LeaksTest, LibrariesOnEveryPath) {
    const tstring lib = ts::binDir() + L"\\testlib.dll";
    expectNoGrowth("missing file", [&] {
        expectRaise([&] { Dll missing(tstrings::Builder() << dir / L"missing.dll"); });
    });
    expectNoGrowth("missing export", [&] {
        expectRaise([&] {
            DllFunction<TestValueFunc>(Dll(tstrings::Builder() << lib), tstrings::Builder()
                                                                            << L"nope");
        });
    });
    expectNoGrowth("function call", [&] {
        const DllFunction<TestValueFunc> f(Dll(tstrings::Builder() << lib), tstrings::Builder()
                                                                                << L"testValue");
        EXPECT_EQ(static_cast<TestValueFunc>(f)(), 1234);
    });
    // Unloaded once the last holder is gone.
    EXPECT_EQ(GetModuleHandleW(lib.c_str()), nullptr);
    expectNoGrowth("system library", [] { Dll kernel(tstrings::Builder() << L"kernel32.dll"); });
}

TEST_F(LeaksTest, ExecutorOnEveryPath) {
    expectNoGrowth(
        "missing executable",
        [&] {
            expectRaise(
                [&] { Executor(dir / L"missing.exe").suspended(true).execAndWaitForExit(); });
        },
        200);
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    const tstring echo = ts::binDir() + L"\\argv_echo.exe";
    expectNoGrowth(
        "child run",
        [&] {
            EXPECT_EQ(Executor(echo)
                          .suspended(true)
                          .jobObject(job)
                          .push_back(L"a b")
                          .execAndWaitForExit(),
                      0u);
        },
        100);
    CloseHandle(job);
}

TEST_F(LeaksTest, ConfigurationPackageAndEnvironmentErrors) {
    const tstring broken = dir / L"broken.cfg";
    ts::writeFile(broken, "[Application]\napp.mainjar=x\n[Unclosed\n");
    expectNoGrowth("parse error", [&] { expectRaise([&] { CfgFile::load(broken); }); });
    expectNoGrowth("missing file",
                   [&] { expectRaise([&] { CfgFile::load(dir / L"missing.cfg"); }); });
    const tstring appDir = dir / L"app";
    CreateDirectoryW(appDir.c_str(), nullptr);
    CreateDirectoryW((appDir + L"\\.package").c_str(), nullptr);
    expectNoGrowth("package directory",
                   [&] { expectRaise([&] { PackageFile::loadFromAppDir(appDir); }); });
    expectNoGrowth("unset variable",
                   [] { expectRaise([] { SysInfo::getEnvVariable(L"CORVELA_SURELY_NOT_SET"); }); });
}

TEST_F(LeaksTest, JvmLaunchesAndLaunchData) {
    const tstring jli = ts::standinDir() + L"\\jli.dll";
    ts::ScopedEnv record(L"STANDIN_RECORD", dir / L"record.txt");
    expectNoGrowth(
        "launch",
        [&] {
            Jvm jvm;
            jvm.setLibraryPath(jli).appendArgument(L"exe").addEnvironmentVariable(
                L"CORVELA_LEAK_VAR", L"x");
            jvm.launch();
            DeleteFileW((dir / L"record.txt").c_str());
        },
        200);
    EXPECT_EQ(GetModuleHandleW(jli.c_str()), nullptr);
    expectNoGrowth(
        "failed launch",
        [&] {
            ts::ScopedEnv fail(L"STANDIN_EXIT", L"1");
            Jvm jvm;
            jvm.setLibraryPath(jli).appendArgument(L"exe");
            expectRaise([&] { jvm.launch(); });
        },
        200);
    expectNoGrowth("launch data", [] {
        free(makeJvmlLauncherData(jvmLauncherGetAPI(),
                                  new JliLaunchData(L"lib", {L"a"}, {L"N"}, {L"V"}), nullptr));
    });
}

} // namespace

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>

#include "LauncherImage.h"
#include "TestSupport.h"
#include "StartsWith.h"

namespace ts = testing_support;
using testing_support::count;
using testing_support::Image;
using testing_support::LaunchPath;

namespace {

class LauncherTest : public ::testing::Test {
protected:
    ts::TempDir dir{L"img"};
};

const char* const mainClassCfg = "[Application]\napp.mainclass=app.Main\n"
                                 "[ArgOptions]\narguments=configured\n";

TEST_F(LauncherTest, InProcessWhenPathListsTheAppDirInAnyCase) {
    Image image(dir / L"Demo");
    image.cfg(mainClassCfg);
    const ts::ProcessResult r = image.run(LaunchPath::InProcess);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    const ts::Record record = image.record();
    EXPECT_EQ(record.get("pid"), std::to_string(r.pid)) << "the JVM must run in the launcher";
    EXPECT_EQ(record.args(), image.expectedArgs({L"app.Main", L"configured"}));
    EXPECT_EQ(count(r.err, "CreateProcess"), 0u) << r.err;
    EXPECT_EQ(record.get("env.CORVELA_RESTARTED_FROM"), "");

    // The trace opens and closes with the frame's scope.
    const std::vector<std::string> lines = ts::splitLines(r.err);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_TRUE(ts::StartsWith(lines.front(), "[TRACE] app.cpp:")) << lines.front();
    EXPECT_TRUE(lines.front().find(": Entering app::launch") != std::string::npos);
    EXPECT_TRUE(lines.back().find(": Exiting app::launch (entered at app.cpp:") !=
                std::string::npos)
        << lines.back();
}

TEST_F(LauncherTest, RestartRunsExactlyOneChildWithTheSameArguments) {
    Image image(dir / L"Demo");
    image.cfg(mainClassCfg);
    // Backslashes before a quote: three give one and a literal quote, four before a closing
    // quote give two.
    const std::wstring args = L"plain \"with blank\" \"say \\\"hi\\\"\" \"C:\\My Dir\\\\\" \"\" "
                              L"back\\\\\\\"slash \"tail\\\\\\\\\" last";
    const ts::ProcessResult r = image.run(LaunchPath::Restart, args);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    const ts::Record record = image.record();
    EXPECT_NE(record.get("pid"), std::to_string(r.pid));
    EXPECT_EQ(count(r.err, "CreateProcess["), 1u) << r.err;
    EXPECT_EQ(record.args(),
              image.expectedArgs({L"app.Main", L"plain", L"with blank", L"say \"hi\"",
                                  L"C:\\My Dir\\", L"", L"back\\\"slash", L"tail\\\\", L"last"}));
    // The child sees the extended PATH; the restart marker is gone before the JVM starts.
    const std::string path = record.get("env.PATH");
    EXPECT_EQ(path.substr(path.size() - ts::utf8(image.appDir()).size() - 1),
              ";" + ts::utf8(image.appDir()));
    EXPECT_EQ(record.get("env.CORVELA_RESTARTED_FROM"), "");
    // The tests run without a display, where Wine makes no top-level window: the parent's
    // message loop falls back to a message-only window, and the launch goes on.
    EXPECT_NE(r.err.find("): the message loop runs on a message-only window\n"), std::string::npos)
        << r.err;
}

TEST_F(LauncherTest, RestartedChildIsInItsJobBeforeTheRuntimeLoads) {
    // Run outside any job of the test's, so that the only job there can be is the
    // launcher's: the runtime of a restarted child must find itself in it as it loads.
    Image image(dir / L"Demo");
    image.cfg(mainClassCfg);
    image.maxProcesses = 0;
    for (LaunchPath path : {LaunchPath::InProcess, LaunchPath::Restart}) {
        const bool restart = path == LaunchPath::Restart;
        const ts::ProcessResult r = image.run(path);
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        EXPECT_EQ(count(r.err, "CreateProcess["), restart ? 1u : 0u) << r.err;
        EXPECT_EQ(image.record().get("in_job_at_load"), restart ? "1" : "0")
            << (restart ? "restart" : "in process");
    }
}

TEST_F(LauncherTest, RestartReturnsTheChildsExitCode) {
    Image image(dir / L"Demo");
    image.cfg(mainClassCfg);
    image.runtime(L"jli.dll");
    // A JLI_Launch failure in the child is the child's exit code 1; a process that dies
    // with a code of its own passes that code through whole.
    ts::ProcessResult r = image.run(LaunchPath::Restart, L"", {{L"STANDIN_EXIT", L"7"}});
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_NE(r.err.find("\nFailed to launch JVM\n"), std::string::npos) << r.err;

    r = image.run(LaunchPath::Restart, L"", {{L"STANDIN_CRASH", L"1"}});
    EXPECT_EQ(r.exitCode, 0xC0000005u) << r.err;
}

TEST_F(LauncherTest, UnsetPathGivesTheChildSemicolonAndTheAppDir) {
    Image image(dir / L"Demo");
    image.cfg(mainClassCfg);
    const ts::ProcessResult r = image.run(LaunchPath::Restart, L"", {{L"PATH!", L""}});
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(image.record().get("env.PATH"), ";" + ts::utf8(image.appDir()));
}

TEST_F(LauncherTest, ApplicationDirectoryWithSemicolonRestartsOnlyOnce) {
    Image image(dir / L"odd;name");
    image.cfg(mainClassCfg);
    const ts::ProcessResult r = image.run(LaunchPath::InProcess);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(count(r.err, "CreateProcess["), 1u) << r.err;
    EXPECT_EQ(image.record().args(), image.expectedArgs({L"app.Main", L"configured"}));
}

TEST_F(LauncherTest, PerUserConfigurationComesFirst) {
    struct Case {
        const char* what;
        bool packageFile; // app\.package names the package "Pkg"
        bool localFile;   // LOCALAPPDATA\Pkg\Demo.cfg exists
        bool localSet;    // LOCALAPPDATA is set at all
        const wchar_t* mainClass;
        bool localLookedUp; // the trace names the LOCALAPPDATA candidate
        bool roamingLookedUp;
    } cases[] = {
        {"LOCALAPPDATA has no file: APPDATA's wins over the application directory's", true, false,
         true, L"FromRoaming", true, true},
        {"LOCALAPPDATA's file wins: APPDATA is not looked at", true, true, true, L"FromLocal", true,
         false},
        {"LOCALAPPDATA unset: APPDATA alone, without an error record", true, false, false,
         L"FromRoaming", false, true},
        {"no package file: the application directory's configuration", false, true, true,
         L"FromAppDir", false, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring root = dir / std::to_wstring(++n);
        Image image(root + L"\\Demo");
        image.cfg("[Application]\napp.mainclass=FromAppDir\n");
        if (c.packageFile) {
            ts::writeFile(image.appDir() + L"\\.package", "Pkg\r\n");
        }
        const std::wstring local = root + L"\\local";
        const std::wstring roaming = root + L"\\roaming";
        ts::makeDirs(local + L"\\Pkg");
        ts::makeDirs(roaming + L"\\Pkg");
        ts::writeFile(roaming + L"\\Pkg\\Demo.cfg", "[Application]\napp.mainclass=FromRoaming\n");
        if (c.localFile) {
            ts::writeFile(local + L"\\Pkg\\Demo.cfg", "[Application]\napp.mainclass=FromLocal\n");
        }
        const ts::ProcessResult r = image.run(
            LaunchPath::InProcess, L"",
            {{c.localSet ? L"LOCALAPPDATA" : L"LOCALAPPDATA!", local}, {L"APPDATA", roaming}});
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        // An installed image's JVM writes its error file under LOCALAPPDATA.
        std::vector<std::wstring> expected;
        if (c.packageFile && c.localSet) {
            expected.push_back(L"-XX:ErrorFile=" + local + L"\\Pkg\\logs\\hs_err_pid%p.log");
        }
        expected.push_back(c.mainClass);
        EXPECT_EQ(image.record().args(), image.expectedArgs(expected));
        const size_t localAt = r.err.find("[" + ts::utf8(local) + "\\Pkg\\Demo.cfg]");
        const size_t roamingAt = r.err.find("[" + ts::utf8(roaming) + "\\Pkg\\Demo.cfg]");
        EXPECT_EQ(localAt != std::string::npos, c.localLookedUp) << r.err;
        EXPECT_EQ(roamingAt != std::string::npos, c.roamingLookedUp) << r.err;
        if (c.localLookedUp && c.roamingLookedUp) {
            EXPECT_LT(localAt, roamingAt) << r.err;
        }
        EXPECT_EQ(r.err.find("[ERROR] "), std::string::npos) << r.err;
    }
}

TEST_F(LauncherTest, CommandLineArgumentsReplaceConfiguredOnesUnexpanded) {
    Image image(dir / L"Demo");
    image.cfg("[Application]\napp.mainclass=M\n[ArgOptions]\narguments=one\narguments=$APPDIR\n");
    ts::ProcessResult r = image.run(LaunchPath::InProcess);
    EXPECT_EQ(image.record().args(), image.expectedArgs({L"M", L"one", image.appDir()}));
    r = image.run(LaunchPath::InProcess, L"$APPDIR x");
    EXPECT_EQ(image.record().args(), image.expectedArgs({L"M", L"$APPDIR", L"x"}));
}

TEST_F(LauncherTest, EnvironmentVariablesExpandInTheConfigurationOnly) {
    Image image(dir / L"Demo");
    image.cfg("[Application]\napp.mainclass=M\n"
              "[JavaOptions]\njava-options=-Dlog.dir=%CV_LOGS%\\app\njava-options=-Dp=100%\n"
              "[ArgOptions]\narguments=%cv_logs%\n");
    const std::map<std::wstring, std::wstring> env = {{L"CV_LOGS", L"C:\\Users\\\u00e9\\logs"}};
    ts::ProcessResult r = image.run(LaunchPath::InProcess, L"", env);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    const std::wstring logs = L"C:\\Users\\\u00e9\\logs";
    EXPECT_EQ(image.record().args(),
              (std::vector<std::string>{
                  ts::utf8(image.exe()), ts::utf8(L"-Dlog.dir=" + logs + L"\\app"), "-Dp=100%",
                  ts::utf8(L"-Dcorvela.app-path=" + image.exe()), "M", ts::utf8(logs)}));
    // Arguments from the command line are taken as they are.
    r = image.run(LaunchPath::Restart, L"%CV_LOGS%", env);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(image.record().args().back(), "%CV_LOGS%");
}

TEST_F(LauncherTest, ConfigurationErrorsFailBeforeAnyChild) {
    // Cyrillic and CJK in the path: the message names it, encoded exactly once.
    Image image(dir / L"\u0422\u0435\u0441\u0442 \u5e94\u7528 Jos\u00e9");
    struct Case {
        const char* cfg; // null: no file at all
        std::string message;
    } cases[] = {
        {nullptr, "Error opening \"" + ts::utf8(image.appDir()) +
                      "\\Demo.cfg\" file: No such file or directory"},
        {"[Application\n", "Error parsing [" + ts::utf8(image.appDir()) +
                               "\\Demo.cfg] file at 1: Missing ']' character"},
    };
    for (const Case& c : cases) {
        DeleteFileW((image.appDir() + L"\\Demo.cfg").c_str());
        if (c.cfg) {
            image.cfg(c.cfg);
        }
        for (const wchar_t* debug : {L"false", L"true"}) {
            const ts::ProcessResult r =
                image.run(LaunchPath::Restart, L"", {{L"CORVELA_DEBUG", debug}});
            EXPECT_EQ(r.exitCode, 1u);
            EXPECT_EQ(count(r.err, "CreateProcess"), 0u) << r.err;
            EXPECT_FALSE(image.record().has("call"));
            if (std::wstring(debug) == L"false") {
                // Nothing but the message, without its source position.
                EXPECT_EQ(r.err, c.message + "\n");
            } else {
                EXPECT_NE(r.err.find("\n" + c.message + "\n"), std::string::npos) << r.err;
                EXPECT_NE(r.err.find("[ERROR] app.cpp:"), std::string::npos) << r.err;
                EXPECT_NE(r.err.find(c.message + "' caught\n"), std::string::npos) << r.err;
            }
        }
    }
}

TEST_F(LauncherTest, RuntimeLocationAndItsFailures) {
    enum class Match { Whole, Start, Within };
    struct Case {
        const char* what;
        const char* cfg;
        const wchar_t* runtimeDir; // where the stand-in goes, under the image root
        const wchar_t* standin;    // copied as bin\jli.dll there; null for none
        std::map<std::wstring, std::wstring> env;
        DWORD exitCode;
        Match match;
        std::string err; // "<ROOT>" stands for the image root
    } cases[] = {
        {"app.runtime from a macro",
         "[Application]\napp.runtime=$ROOTDIR\\rt2\napp.mainclass=M\n",
         L"rt2",
         L"jli.dll",
         {},
         0,
         Match::Within,
         "jli lib: [<ROOT>\\rt2\\bin\\jli.dll]"},
        {"no runtime",
         "[Application]\napp.mainclass=M\n",
         L"runtime",
         nullptr,
         {{L"CORVELA_DEBUG", L"0"}},
         1,
         Match::Whole,
         "Failed to find JVM in \"<ROOT>\\runtime\" directory.\n"},
        {"a runtime without JLI_Launch",
         "[Application]\napp.mainclass=M\n",
         L"runtime",
         L"jli_nolaunch.dll",
         {{L"CORVELA_DEBUG", L"0"}},
         1,
         Match::Start,
         "GetProcAddress(<ROOT>\\runtime\\bin\\jli.dll, JLI_Launch) failed. System error [127]"},
        {"JLI_Launch fails",
         "[Application]\napp.mainclass=M\n",
         L"runtime",
         L"jli.dll",
         {{L"CORVELA_DEBUG", L"0"}, {L"STANDIN_EXIT", L"2"}},
         1,
         Match::Whole,
         "Failed to launch JVM\n"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Image image(dir / std::to_wstring(++n));
        DeleteFileW((image.root + L"\\runtime\\bin\\jli.dll").c_str());
        if (c.standin) {
            ts::makeDirs(image.root + L"\\" + c.runtimeDir + L"\\bin");
            ts::copyFile(ts::standinDir() + L"\\" + c.standin,
                         image.root + L"\\" + c.runtimeDir + L"\\bin\\jli.dll");
        }
        image.cfg(c.cfg);
        const ts::ProcessResult r = image.run(LaunchPath::InProcess, L"", c.env);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        std::string err = c.err;
        const size_t root = err.find("<ROOT>");
        if (root != std::string::npos) {
            err.replace(root, 6, ts::utf8(image.root));
        }
        switch (c.match) {
        case Match::Whole:
            EXPECT_EQ(r.err, err);
            break;
        case Match::Start:
            EXPECT_TRUE(ts::StartsWith(r.err, err));
            break;
        case Match::Within:
            EXPECT_NE(r.err.find(err), std::string::npos) << r.err;
            break;
        }
    }
}

TEST_F(LauncherTest, DependentLibraryLoadsThroughAddDllDirectory) {
    Image image(dir / L"Demo");
    image.cfg(mainClassCfg);
    image.runtime(L"jli_dependent.dll");
    image.runtime(L"standindep.dll", L"standindep.dll");
    const ts::ProcessResult r = image.run(LaunchPath::InProcess);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_NE(r.err.find("AddDllDirectory(" + ts::utf8(image.root) + "\\runtime\\bin): OK"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("New value of PATH"), std::string::npos);
    EXPECT_EQ(r.err.find("LOAD_LIBRARY_SEARCH_DEFAULT_DIRS): 0x0\n"), std::string::npos);
}

TEST_F(LauncherTest, SplashLoadsServerJvmAndSplashScreenLibraries) {
    Image image(dir / L"Demo");
    ts::writeFile(image.appDir() + L"\\splash.png", "png");
    image.cfg("[Application]\napp.mainclass=M\napp.splash=$APPDIR\\splash.png\n");
    image.runtime(L"jvm.dll", L"server\\jvm.dll");
    image.runtime(L"splashscreen.dll", L"splashscreen.dll");
    ts::ProcessResult r = image.run(LaunchPath::InProcess);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    ts::Record record = image.record();
    EXPECT_EQ(record.all("loaded"), (std::vector<std::string>{"jvm.dll", "splashscreen.dll"}));
    // The server JVM library is released once the splash screen library is in.
    EXPECT_EQ(record.get("modules.jvm"), "0");
    EXPECT_EQ(record.get("modules.splashscreen"), "1");
    EXPECT_EQ(record.args(),
              (std::vector<std::string>{ts::utf8(image.exe()),
                                        ts::utf8(L"-splash:" + image.appDir() + L"\\splash.png"),
                                        ts::utf8(L"-Dcorvela.app-path=" + image.exe()), "M"}));

    // No splash request: neither library is touched even though both exist.
    image.cfg(mainClassCfg);
    r = image.run(LaunchPath::InProcess);
    EXPECT_TRUE(image.record().all("loaded").empty());

    // Requested but missing: the loading error, exit code 1.
    image.cfg("[Application]\napp.mainclass=M\napp.splash=$APPDIR\\splash.png\n");
    DeleteFileW((image.root + L"\\runtime\\bin\\splashscreen.dll").c_str());
    r = image.run(LaunchPath::InProcess, L"", {{L"CORVELA_DEBUG", L"no"}});
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_TRUE(ts::StartsWith(r.err, "LoadLibraryW(" + ts::utf8(image.root) +
                                          "\\runtime\\bin\\splashscreen.dll) failed."))
        << r.err;
    EXPECT_FALSE(image.record().has("call"));
}

TEST_F(LauncherTest, RuntimeLibrariesFindTheirSiblingsByName) {
    // A real jvm.dll loads libraries beside it by bare name once it runs: only the DLL
    // directory the launcher sets lets it find them.
    Image image(dir / L"Demo");
    image.cfg(mainClassCfg);
    image.runtime(L"standindep.dll", L"standindep.dll");
    for (LaunchPath path : {LaunchPath::InProcess, LaunchPath::Restart}) {
        const ts::ProcessResult r =
            image.run(path, L"", {{L"STANDIN_LOAD_BY_NAME", L"standindep.dll"}});
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        EXPECT_EQ(image.record().get("loaded_by_name.standindep.dll"), "1")
            << (path == LaunchPath::InProcess ? "in process" : "restart");
    }
}

TEST_F(LauncherTest, SecondLoadingStrategyRestoresPath) {
    // AddDllDirectory takes no "\\?\" path, LoadLibrary does: a runtime named that way is
    // loaded by the second strategy, which extends PATH only while it loads.
    Image image(dir / L"Demo");
    image.cfg("[Application]\napp.runtime=\\\\?\\$ROOTDIR\\runtime\napp.mainclass=M\n");
    const std::wstring path = image.pathListingAppDir();
    const ts::ProcessResult r = image.run(LaunchPath::InProcess);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    ASSERT_NE(r.err.find("New value of PATH: " + ts::utf8(path) + ";\\\\?\\"), std::string::npos)
        << "the second strategy did not run: " << r.err;
    EXPECT_EQ(image.record().get("env.PATH"), ts::utf8(path));
}

TEST_F(LauncherTest, RestartThatCannotStartItsChildIsReported) {
    // A launcher path of MAX_PATH or more: Wine's CreateProcess refuses it, as Windows does
    // without long path support. The user must learn why nothing started.
    const std::wstring root = dir / std::wstring(150 - dir.path().size() % 50, L'r');
    const std::wstring name(120, L'L');
    Image image(root, name);
    image.cfg(mainClassCfg);
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(root.c_str()));
    const ts::ProcessResult r =
        ts::run(name + L".exe", name + L".exe", {{L"STANDIN_RECORD", image.recordPath()}});
    SetCurrentDirectoryW(saved);
    EXPECT_EQ(r.exitCode, 1u) << r.err;
    EXPECT_TRUE(ts::StartsWith(r.err, "CreateProcess[suspended][visible][inherit](" +
                                          ts::utf8(image.exe())))
        << r.err;
    EXPECT_NE(r.err.find(") failed. System error ["), std::string::npos) << r.err;
    EXPECT_FALSE(image.record().has("call"));
}

TEST_F(LauncherTest, ImagesUnderUnusualPaths) {
    // Blanks and non-ASCII letters (Cyrillic and CJK) in the image's directory.
    Image image(
        dir / L"My Apps \u041f\u0440\u0438\u043b\u043e\u0436\u0435\u043d\u0438\u0435 \u5e94\u7528",
        L"\u0414\u0435\u043c\u043e");
    image.cfg("[Application]\napp.mainjar=$APPDIR\\main.jar\n");
    for (LaunchPath path : {LaunchPath::InProcess, LaunchPath::Restart}) {
        const ts::ProcessResult r = image.run(path, L"\"arg \u4f60\" Jos\u00e9");
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        // The runtime sees UTF-8, byte for byte: the launcher declares that code page.
        EXPECT_EQ(image.record().get("acp"), "65001");
        EXPECT_EQ(image.record().args(),
                  image.expectedArgs(
                      {L"-jar", image.appDir() + L"\\main.jar", L"arg \u4f60", L"Jos\u00e9"}));
        // The trace shows the original text, in UTF-8.
        EXPECT_NE(r.err.find(ts::utf8(image.appDir())), std::string::npos);
    }
}

TEST_F(LauncherTest, LauncherPathLongerThanMaxPath) {
    // A directory under MAX_PATH holding a long file name: the launcher reads its own path
    // and the configuration next to it whole.
    const std::wstring root = dir / std::wstring(150 - dir.path().size() % 50, L'r');
    const std::wstring name(120, L'L');
    Image image(root, name);
    ASSERT_GT(image.exe().size(), 260u);
    image.cfg(mainClassCfg);
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(root.c_str()));
    // CreateProcess takes no application path this long, but a relative one.
    DeleteFileW(image.recordPath().c_str());
    const ts::ProcessResult r = ts::run(name + L".exe", name + L".exe",
                                        {{L"STANDIN_RECORD", image.recordPath()},
                                         {L"CORVELA_DEBUG", L"true"},
                                         {L"PATH", ts::env(L"PATH") + L";" + image.appDir()}});
    SetCurrentDirectoryW(saved);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(image.record().args(), image.expectedArgs({L"app.Main", L"configured"}));
}

} // namespace

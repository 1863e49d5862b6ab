// Restart on request: an application that ends with the configured exit code is started again.
#include <gtest/gtest.h>

#include <windows.h>

#include <set>

#include "LauncherImage.h"
#include "TestSupport.h"

namespace ts = testing_support;
using testing_support::count;
using testing_support::Image;
using testing_support::LaunchPath;

namespace {

class RestartRequestTest : public ::testing::Test {
protected:
    // The launcher, the first start of the application and up to three restarts; a launcher
    // that restarts once more is ended by the run.
    Image image() const {
        Image made(dir / L"Demo");
        made.maxProcesses = 5;
        return made;
    }

    ts::TempDir dir{L"restart"};
};

std::string cfgWithRestartCode(const std::string& code) {
    return "[Application]\napp.mainclass=app.Main\napp.restart-exit-code=" + code + "\n";
}

TEST_F(RestartRequestTest, EachRequestStartsANewProcessWithTheSameArgumentsAndHandles) {
    for (const LaunchPath path : {LaunchPath::InProcess, LaunchPath::Restart}) {
        SCOPED_TRACE(path == LaunchPath::InProcess ? "PATH lists the application directory"
                                                   : "PATH lacks the application directory");
        const Image demo = image();
        demo.cfg(cfgWithRestartCode("7"));
        const ts::ProcessResult r =
            demo.run(path, L"one \"two three\"",
                     {{L"STANDIN_EXITS", L"7,7,0"}, {L"STANDIN_PRINT", L"hi"}});
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        const ts::Record record = demo.record();
        const std::vector<std::string> pids = record.all("pid");
        ASSERT_EQ(pids.size(), 3u) << r.err;
        EXPECT_EQ(std::set<std::string>(pids.begin(), pids.end()).size(), 3u)
            << "each start is a process of its own";
        EXPECT_EQ(std::count(pids.begin(), pids.end(), std::to_string(r.pid)), 0)
            << "the process the user started hosts no JVM";
        // Every start prints through the standard handles the user gave the launcher.
        EXPECT_EQ(count(r.out, "out:hi"), 3u) << r.out;
        EXPECT_EQ(count(r.err, "err:hi"), 3u);
        const std::vector<std::string> once =
            demo.expectedArgs({L"app.Main", L"one", L"two three"});
        std::vector<std::string> threeTimes;
        for (int start = 0; start < 3; ++start) {
            threeTimes.insert(threeTimes.end(), once.begin(), once.end());
        }
        EXPECT_EQ(record.args(), threeTimes);
    }
}

TEST_F(RestartRequestTest, AtMostThreeRestartsAMinuteThenTheLastExitCodeIsTheLaunchers) {
    const Image demo = image();
    demo.cfg(cfgWithRestartCode("7"));
    const ts::ProcessResult r =
        demo.run(LaunchPath::InProcess, L"", {{L"STANDIN_SYSTEM_EXIT", L"7"}});
    EXPECT_EQ(r.exitCode, 7u) << r.err;
    EXPECT_EQ(demo.record().all("pid").size(), 4u) << "the first start and three restarts";
    EXPECT_EQ(r.leftRunning, 0u);
}

TEST_F(RestartRequestTest, OnlyTheConfiguredCodeRestarts) {
    struct Case {
        const char* code;
        const wchar_t* exits;
        DWORD launcherExit;
        size_t starts;
    };
    const Case cases[] = {
        {"7", L"3", 3, 1},
        {"7", L"0", 0, 1},
        // What Java's System.exit(-1) ends a Windows process with.
        {"-1", L"4294967295,5", 5, 2},
        {"4294967295", L"4294967295,0", 0, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("app.restart-exit-code=") + c.code);
        const Image demo = image();
        demo.cfg(cfgWithRestartCode(c.code));
        const ts::ProcessResult r =
            demo.run(LaunchPath::InProcess, L"", {{L"STANDIN_EXITS", c.exits}});
        EXPECT_EQ(r.exitCode, c.launcherExit) << r.err;
        EXPECT_EQ(demo.record().all("pid").size(), c.starts);
    }
}

TEST_F(RestartRequestTest, WithoutTheKeyTheApplicationEndsTheLauncherInProcess) {
    const Image demo = image();
    demo.cfg("[Application]\napp.mainclass=app.Main\n");
    const ts::ProcessResult r =
        demo.run(LaunchPath::InProcess, L"", {{L"STANDIN_SYSTEM_EXIT", L"7"}});
    EXPECT_EQ(r.exitCode, 7u) << r.err;
    EXPECT_EQ(demo.record().all("pid"), std::vector<std::string>{std::to_string(r.pid)});
}

TEST_F(RestartRequestTest, AnInvalidValueFailsBeforeAnyChildNamingKeyAndFile) {
    for (const char* value : {"", "0", "-0", "seven", "7 ", "+7", "4294967296", "-2147483649"}) {
        SCOPED_TRACE(std::string("app.restart-exit-code=") + value);
        const Image demo = image();
        demo.cfg(cfgWithRestartCode(value));
        const ts::ProcessResult r = demo.run(LaunchPath::Restart);
        EXPECT_EQ(r.exitCode, 1u) << r.err;
        EXPECT_FALSE(demo.record().has("call")) << "no application started";
        EXPECT_EQ(r.processes, 1u);
        EXPECT_NE(r.err.find("Invalid value \"" + std::string(value) +
                             "\" of app.restart-exit-code in [Application] of " +
                             ts::utf8(demo.appDir()) + "\\Demo.cfg"),
                  std::string::npos)
            << r.err;
    }
}

} // namespace

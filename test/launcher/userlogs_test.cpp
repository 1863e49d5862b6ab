// An image's logs for its user: launcher log, error records, the JVM's error file.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <memory>
#include <regex>
#include <vector>

#include "LauncherImage.h"
#include "TestSupport.h"

namespace ts = testing_support;
using testing_support::count;
using testing_support::Image;
using testing_support::LaunchPath;

namespace {

const char* const mainClassCfg = "[Application]\napp.mainclass=app.Main\n";

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// An installed image (package Pkg) whose LOCALAPPDATA is a directory of the test's own.
class UserLogsTest : public ::testing::Test {
protected:
    UserLogsTest() {
        image.cfg(mainClassCfg);
        ts::writeFile(image.appDir() + L"\\.package", "Pkg\n");
    }

    ts::ProcessResult run(std::map<std::wstring, std::wstring> env = {},
                          LaunchPath path = LaunchPath::InProcess) const {
        env.emplace(L"LOCALAPPDATA", local);
        env.emplace(L"CORVELA_DEBUG", L"false");
        return image.run(path, L"", env);
    }

    std::wstring logsDir() const { return local + L"\\Pkg\\logs"; }
    std::wstring logPath() const { return logsDir() + L"\\launcher.log"; }
    std::vector<std::string> logLines() const { return ts::splitLines(ts::readFile(logPath())); }

    std::string errorFileOption() const {
        return ts::utf8(L"-XX:ErrorFile=" + logsDir() + L"\\hs_err_pid%p.log");
    }

    ts::TempDir dir{L"logs"};
    Image image{dir / L"Demo"};
    std::wstring local = dir / L"local";
};

TEST_F(UserLogsTest, TheJvmsErrorFileGoesToTheLogsDirectoryUnlessConfigured) {
    const std::string appPath = ts::utf8(L"-Dcorvela.app-path=" + image.exe());
    const std::string exe = ts::utf8(image.exe());
    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::map<std::wstring, std::wstring> env;
        std::vector<std::string> args;
    } cases[] = {
        {"installed", [] {}, {}, {exe, appPath, errorFileOption(), "app.Main"}},
        {"set by the vendor",
         [this] {
             image.cfg("[Application]\napp.mainclass=app.Main\n"
                       "[JavaOptions]\njava-options=-XX:ErrorFile=C:\\crash\\hs.log\n");
         },
         {},
         {exe, "-XX:ErrorFile=C:\\crash\\hs.log", appPath, "app.Main"}},
        {"no package",
         [this] { DeleteFileW((image.appDir() + L"\\.package").c_str()); },
         {},
         {exe, appPath, "app.Main"}},
        {"no LOCALAPPDATA", [] {}, {{L"LOCALAPPDATA!", L""}}, {exe, appPath, "app.Main"}},
        {"a file in the logs directory's place",
         [this] {
             ts::makeDirs(local + L"\\Pkg");
             ts::writeFile(logsDir(), "a file where the logs directory would be");
         },
         {},
         {exe, appPath, "app.Main"}},
        {"logs directory cannot be made",
         [this] {
             ts::makeDirs(local);
             ts::writeFile(local + L"\\Pkg", "a file where the package's directory would be");
         },
         {},
         {exe, appPath, "app.Main"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        image.cfg(mainClassCfg);
        ts::writeFile(image.appDir() + L"\\.package", "Pkg\n");
        ts::removeTree(local);
        c.arrange();
        const ts::ProcessResult r = run(c.env);
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        EXPECT_EQ(image.record().args(), c.args);
    }
    // The directory is there for the JVM to write to.
    ts::removeTree(local);
    run();
    EXPECT_TRUE(exists(logsDir()));
}

TEST_F(UserLogsTest, FailuresAreRecordedWithTimeAndText) {
    const std::regex recordLine("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} Demo\\.exe "
                                "\\(PID (\\d+)\\) error: (.*)");
    ts::ProcessResult r = run({{L"STANDIN_EXIT", L"2"}});
    EXPECT_EQ(r.exitCode, 1u);
    ASSERT_EQ(logLines().size(), 1u);
    std::smatch match;
    const std::string first = logLines()[0];
    ASSERT_TRUE(std::regex_match(first, match, recordLine)) << first;
    EXPECT_EQ(match[1].str(), std::to_string(r.pid));
    EXPECT_EQ(match[2].str() + "\n", r.err) << "the text the user was shown";

    // A success adds nothing; the next failure is appended with its own text.
    r = run();
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    ts::makeDirs(local + L"\\Pkg");
    ts::writeFile(local + L"\\Pkg\\Demo.vmoptions", "-cp x.jar\n");
    r = run();
    EXPECT_EQ(r.exitCode, 1u);
    const std::vector<std::string> lines = logLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], first);
    ASSERT_TRUE(std::regex_match(lines[1], match, recordLine)) << lines[1];
    EXPECT_EQ(match[2].str() + "\n", r.err);
    EXPECT_NE(lines[1].find("Demo.vmoptions\" at line 1: \"-cp x.jar\""), std::string::npos);

    // An image without a package keeps no log.
    DeleteFileW((image.appDir() + L"\\.package").c_str());
    ts::removeTree(local);
    r = run({{L"STANDIN_EXIT", L"2"}});
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_FALSE(exists(local));
}

// Started as from the desktop: no standard handles at all. Returns the exit code.
DWORD startWithoutStandardHandles(const Image& image,
                                  const std::map<std::wstring, std::wstring>& env) {
    std::vector<std::unique_ptr<ts::ScopedEnv>> vars;
    for (const auto& var : env) {
        vars.emplace_back(new ts::ScopedEnv(var.first, var.second));
    }
    DeleteFileW(image.recordPath().c_str());
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = L"\"" + image.exe() + L"\"";
    if (!CreateProcessW(image.exe().c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &si, &pi)) {
        ADD_FAILURE() << "CreateProcess: " << GetLastError();
        return 999;
    }
    if (WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 998);
        WaitForSingleObject(pi.hProcess, INFINITE);
    }
    DWORD code = 999;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

// A GUI launcher started from the desktop has no standard error: the runtime's reason for a
// start it could not make would be lost. It is kept in <launcher>-stderr.log, and a start
// the runtime ends with one of its start failure lines is reported with the runtime's last
// lines, in the error log as in the box. An application that ends itself with a non-zero
// code, or writes to standard error, is not a failed start.
TEST_F(UserLogsTest, TheRuntimesReasonForAFailedStartReachesTheUser) {
    const std::wstring kept = logsDir() + L"\\Demo-stderr.log";
    const std::string mainClassLines = "Error: Could not find or load main class app.Main|"
                                       "Caused by: java.lang.ClassNotFoundException: app.Main";
    const std::string heapLines = "Invalid maximum heap size: -Xmx4x|"
                                  "Error: Could not create the Java Virtual Machine.|"
                                  "Error: A fatal exception has occurred. Program will exit.";
    const std::string cdsLines = "Error occurred during CDS dumping|"
                                 "Must enable AllowArchivingWithJavaAgent in order to run Java "
                                 "agent during CDS dumping";
    const struct {
        const char* what;
        std::string stderrText;
        const wchar_t* crtExit; // the runtime's exit(); else JLI_Launch returns
        const wchar_t* returned;
        DWORD exitCode;
        bool failedStart;
        std::string lastLine;
    } cases[] = {
        {"main class not found: JLI_Launch returns 1", mainClassLines, L"", L"1", 1, true,
         "Caused by: java.lang.ClassNotFoundException: app.Main"},
        {"a heap size the runtime refuses: it ends the process", heapLines, L"1", L"", 1, true,
         "Error: A fatal exception has occurred. Program will exit."},
        {"an archive the runtime refuses to write: it ends the process", cdsLines, L"1", L"", 1,
         true, "Must enable AllowArchivingWithJavaAgent in order to run Java agent during CDS "
               "dumping"},
        {"the application's own System.exit(3)", "saving failed: disk full", L"3", L"", 3, false,
         ""},
        {"the application ends with 0 after writing to standard error", "a warning", L"", L"0", 0,
         false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ts::removeTree(local);
        std::map<std::wstring, std::wstring> env = {{L"LOCALAPPDATA", local},
                                                    {L"CORVELA_DEBUG", L"false"},
                                                    {L"STANDIN_RECORD", image.recordPath()},
                                                    {L"PATH", image.pathListingAppDir()},
                                                    {L"STANDIN_STDERR", ts::wide(c.stderrText)}};
        if (*c.crtExit) {
            env.emplace(L"STANDIN_CRT_EXIT", c.crtExit);
        } else {
            env.emplace(L"STANDIN_EXIT", c.returned);
        }
        EXPECT_EQ(startWithoutStandardHandles(image, env), c.exitCode);
        // All the runtime wrote is kept, whatever the end.
        std::string expectedText = c.stderrText + "\r\n";
        for (size_t bar; (bar = expectedText.find('|')) != std::string::npos;) {
            expectedText.replace(bar, 1, "\r\n");
        }
        EXPECT_EQ(ts::readFile(kept), expectedText);
        const std::string log = exists(logPath()) ? ts::readFile(logPath()) : std::string();
        if (!c.failedStart) {
            EXPECT_EQ(log, "");
            continue;
        }
        EXPECT_NE(log.find(" error: "), std::string::npos) << log;
        EXPECT_NE(log.find(c.stderrText.substr(0, c.stderrText.find('|'))), std::string::npos)
            << log;
        EXPECT_NE(log.find(c.lastLine + "\n\nThe Java runtime's output is in " +
                           ts::utf8(kept)),
                  std::string::npos)
            << log;
    }

    // Started with a standard error, the runtime writes there as ever, and nothing is kept.
    local = dir / L"local with standard error";
    const std::wstring notKept = logsDir() + L"\\Demo-stderr.log";
    const ts::ProcessResult r = run({{L"STANDIN_STDERR", ts::wide(mainClassLines)},
                                     {L"STANDIN_EXIT", L"1"}});
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_NE(r.err.find("Error: Could not find or load main class app.Main\n"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(exists(notKept)) << r.err;
}

TEST_F(UserLogsTest, TheLogIsRolledAtOneMebibyteKeepingThree) {
    ts::makeDirs(logsDir());
    // Just under the limit: appended to.
    ts::writeFile(logPath(), std::string(1024 * 1024 - 1, 'x'));
    run({{L"STANDIN_EXIT", L"2"}});
    EXPECT_FALSE(exists(logPath() + L".1"));
    EXPECT_GT(ts::readFile(logPath()).size(), 1024u * 1024u);

    const std::string full(1024 * 1024, 'f');
    ts::writeFile(logPath(), full);
    ts::writeFile(logPath() + L".1", "one");
    ts::writeFile(logPath() + L".2", "two");
    ts::writeFile(logPath() + L".3", "three");
    run({{L"STANDIN_EXIT", L"2"}});
    ASSERT_EQ(logLines().size(), 1u);
    EXPECT_NE(logLines()[0].find(" error: Failed to launch JVM"), std::string::npos);
    EXPECT_EQ(ts::readFile(logPath() + L".1"), full);
    EXPECT_EQ(ts::readFile(logPath() + L".2"), "one");
    EXPECT_EQ(ts::readFile(logPath() + L".3"), "two");
    EXPECT_FALSE(exists(logPath() + L".4"));
}

TEST_F(UserLogsTest, AnUnwritableLogCostsOnlyATraceLine) {
    // The log's name taken by a directory: the directory exists, the file cannot be written.
    ts::makeDirs(logPath());
    ts::ProcessResult r = run({{L"CORVELA_DEBUG", L"true"}});
    EXPECT_EQ(r.exitCode, 0u) << r.err;

    r = run({{L"STANDIN_EXIT", L"2"}, {L"CORVELA_DEBUG", L"true"}});
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_NE(r.err.find("\nFailed to launch JVM\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("[TRACE] LauncherLog.cpp:"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(": Cannot record the error in " + ts::utf8(logPath()) + ": CreateFile("),
              std::string::npos)
        << r.err;
}

TEST_F(UserLogsTest, DebugFileWritesTheTraceToTheLogAndSaysWhere) {
    const std::regex header(
        "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} Demo\\.exe \\(PID (\\d+)\\) "
        "trace in (.*)");
    for (LaunchPath path : {LaunchPath::InProcess, LaunchPath::Restart}) {
        SCOPED_TRACE(path == LaunchPath::InProcess ? "in process" : "restart");
        ts::removeTree(local);
        const ts::ProcessResult r = run({{L"CORVELA_DEBUG", L"file"}}, path);
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        const std::vector<std::string> lines = logLines();
        ASSERT_GE(lines.size(), 3u);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(lines[0], match, header)) << lines[0];
        EXPECT_EQ(match[1].str(), std::to_string(r.pid));
        EXPECT_EQ(match[2].str(), ts::utf8(logPath()));
        // Standard error gets where the trace is, and nothing else of it.
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), lines[0]);
        EXPECT_EQ(count(r.err, "[TRACE]"), 0u) << r.err;
        EXPECT_NE(lines[1].find("[TRACE] app.cpp:"), std::string::npos) << lines[1];
        EXPECT_NE(lines[1].find(": Entering app::launch"), std::string::npos) << lines[1];
        const std::string text = ts::readFile(logPath());
        EXPECT_NE(text.find("\r\njli arg[0]: [" + ts::utf8(image.exe()) + "]\r\n"),
                  std::string::npos);
        EXPECT_NE(text.find("Exiting app::launch"), std::string::npos);
        // The restarted child's trace follows its parent's in the same log.
        EXPECT_EQ(count(text, ") trace in "), path == LaunchPath::InProcess ? 1u : 2u);
    }

    // Without a package, under the launcher's name.
    DeleteFileW((image.appDir() + L"\\.package").c_str());
    ts::removeTree(local);
    ts::ProcessResult r = run({{L"CORVELA_DEBUG", L"file"}});
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_NE(ts::readFile(local + L"\\Demo\\logs\\launcher.log").find("Entering app::launch"),
              std::string::npos);

    // Without LOCALAPPDATA, on standard error, and the first line says why.
    r = run({{L"CORVELA_DEBUG", L"file"}, {L"LOCALAPPDATA!", L""}});
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    const std::vector<std::string> lines = ts::splitLines(r.err);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[0].find(" Demo.exe (PID " + std::to_string(r.pid) +
                            ") trace on standard error: LOCALAPPDATA is not set"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("Entering app::launch"), std::string::npos) << lines[1];
}

} // namespace

// Executor: child processes, their arguments, exit codes, flags and jobs.
#include <gtest/gtest.h>

#include <windows.h>

#include <iterator>

#include "ErrorHandling.h"
#include "Executor.h"
#include "Log.h"
#include "LogCapture.h"
#include "Raises.h"
#include "TestSupport.h"

namespace ts = testing_support;

namespace {

class ExecutorTest : public ::testing::Test {
protected:
    void SetUp() override { echo = ts::binDir() + L"\\argv_echo.exe"; }

    std::vector<std::wstring> echoedArgs() {
        std::vector<std::wstring> args;
        for (const std::string& line : ts::splitLines(ts::readFile(out))) {
            args.push_back(ts::unhexWide(line));
        }
        return args;
    }

    ts::CapturedLog capture;
    ts::TempDir dir;
    std::wstring echo;
    std::wstring out = dir / L"argv.txt";
};

TEST_F(ExecutorTest, ArgumentsSurviveTheRoundTripThroughAChild) {
    const tstring_array hard = {
        L"",
        L"plain",
        L"a b",
        L"tab\there",
        L"\"",
        L"say \"hi\"",
        L"\"already quoted\"",
        L"C:\\My Dir\\",
        L"C:\\My Dir\\\\",
        L"C:\\plain\\",
        L"back\\\\\"quote",
        L"\\\\server\\share",
        L"x\\",
        L"\\\"",
        L"trailing\\\\\\",
        L"-Dprop=a b",
        L"\u041f\u0440\u0438\u0432\u0435\u0442 \u4f60\u597d",
        L"",
    };
    ts::ScopedEnv target(L"ARGV_ECHO_OUT", out);
    Executor executor(echo);
    std::copy(hard.begin(), hard.end(), std::back_inserter(executor));
    EXPECT_EQ(executor.execAndWaitForExit(), 0u);

    std::vector<std::wstring> expected = {echo};
    expected.insert(expected.end(), hard.begin(), hard.end());
    EXPECT_EQ(echoedArgs(), expected);
}

TEST_F(ExecutorTest, ArgumentsThatNeedNoQuotingStayAsTheyAre) {
    Executor executor(L"C:\\dir\\app.exe");
    executor.push_back(L"plain").push_back(L"-Dx=y").push_back(L"C:\\dir\\");
    EXPECT_EQ(executor.commandLine(), L"C:\\dir\\app.exe plain -Dx=y C:\\dir\\");
    Executor blanks(L"C:\\Program Files\\App\\App.exe");
    blanks.push_back(L"a b").push_back(L"");
    EXPECT_EQ(blanks.commandLine(), L"\"C:\\Program Files\\App\\App.exe\" \"a b\" \"\"");
}

TEST_F(ExecutorTest, ExitCodesComeBackWithAll32Bits) {
    for (const wchar_t* code : {L"0", L"7", L"3221225477"}) {
        ts::ScopedEnv exitCode(L"ARGV_ECHO_EXIT", code);
        capture.records.clear();
        const DWORD result = Executor(echo).execAndWaitForExit();
        EXPECT_EQ(std::to_wstring(result), code);
        ASSERT_FALSE(capture.records.empty());
        const tstring last = capture.records.back().message;
        EXPECT_TRUE(ts::StartsWith(last, L"Process with PID="));
        EXPECT_TRUE(tstrings::endsWith(last, tstring(L" terminated. Exit code=") + code))
            << ts::utf8(last);
    }
}

TEST_F(ExecutorTest, TraceNamesTheFlagsInOrder) {
    struct Case {
        bool visible;
        bool suspended;
        bool inherit;
        const wchar_t* prefix;
    } cases[] = {
        {false, false, false, L"CreateProcess("},
        {true, false, false, L"CreateProcess[visible]("},
        {false, true, false, L"CreateProcess[suspended]("},
        {true, true, true, L"CreateProcess[suspended][visible][inherit]("},
    };
    for (const Case& c : cases) {
        capture.records.clear();
        Executor(echo)
            .visible(c.visible)
            .suspended(c.suspended)
            .inherit(c.inherit)
            .execAndWaitForExit();
        const std::vector<tstring> messages = capture.messages();
        ASSERT_FALSE(messages.empty());
        const tstring& trace = messages[0];
        EXPECT_TRUE(ts::StartsWith(trace, c.prefix + echo + L", " + echo + L") succeeded; PID="))
            << ts::utf8(trace);
        const bool resumed =
            std::find(messages.begin(), messages.end(), L"ResumeThread()") != messages.end();
        EXPECT_EQ(resumed, c.suspended);
    }
}

TEST_F(ExecutorTest, HiddenChildrenAreCreatedWithShowWindowHide) {
    const std::wstring startup = dir / L"startup.txt";
    ts::ScopedEnv report(L"ARGV_ECHO_STARTUP", startup);
    for (bool visible : {false, true}) {
        for (bool suspended : {false, true}) {
            Executor(echo).visible(visible).suspended(suspended).execAndWaitForExit();
            EXPECT_EQ(ts::readFile(startup), visible ? "flags=0 show=0\n" : "flags=1 show=0\n")
                << visible << suspended;
        }
    }
}

TEST_F(ExecutorTest, SuspendedChildIsInTheJobBeforeItRuns) {
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    ASSERT_TRUE(job);
    ts::ScopedEnv exitCode(L"ARGV_ECHO_EXIT", L"3");
    ts::ScopedEnv target(L"ARGV_ECHO_OUT", out);
    Executor executor(echo);
    executor.suspended(true).jobObject(job.get());

    UniqueHandle thread;
    UniqueHandle process = executor.startProcess(&thread);
    ASSERT_TRUE(process);
    BOOL inJob = FALSE;
    ASSERT_TRUE(IsProcessInJob(process.get(), job.get(), &inJob));
    EXPECT_TRUE(inJob);
    // Still suspended: it has not written its report.
    EXPECT_FALSE(GetFileAttributesW(out.c_str()) != INVALID_FILE_ATTRIBUTES);
    ResumeThread(thread.get());
    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    EXPECT_EQ(code, 3u);

    const std::vector<tstring> messages = capture.messages();
    const auto assign = std::find_if(messages.begin(), messages.end(), [](const tstring& m) {
        return static_cast<bool>(ts::StartsWith(m, L"AssignProcessToJobObject(PID="));
    });
    EXPECT_NE(assign, messages.end());
}

TEST_F(ExecutorTest, FailedJobAssignmentEndsTheSuspendedChild) {
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    ASSERT_TRUE(job);
    // A handle without the right to assign: the assignment fails after the child exists.
    HANDLE queryOnly = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), job.get(), GetCurrentProcess(), &queryOnly,
                                JOB_OBJECT_QUERY, FALSE, 0));
    const UniqueHandle queryOnlyJob(queryOnly);
    Executor executor(echo);
    executor.suspended(true).jobObject(queryOnlyJob.get());
    EXPECT_TRUE(ts::raisesErrorStartingWith<CvError<SysError>>(
        [&] { executor.execAndWaitForExit(); },
        "AssignProcessToJobObject() failed. System error [5]"));
    // The child the trace names must be gone, not left suspended.
    DWORD pid = 0;
    for (const tstring& m : capture.messages()) {
        const size_t at = m.find(L"succeeded; PID=");
        if (at != tstring::npos) {
            pid = std::stoul(m.substr(at + 15));
        }
    }
    ASSERT_NE(pid, 0u);
    const UniqueHandle child(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
    if (child) {
        const DWORD waited = WaitForSingleObject(child.get(), 0);
        EXPECT_EQ(waited, WAIT_OBJECT_0) << "the child was left behind";
        if (waited != WAIT_OBJECT_0) {
            TerminateProcess(child.get(), 1);
        }
    }
}

TEST_F(ExecutorTest, NoJobNoAssignment) {
    Executor(echo).execAndWaitForExit();
    // The trace must be there for its silence about the job to mean anything.
    const std::vector<tstring> messages = capture.messages();
    ASSERT_FALSE(messages.empty()) << "nothing was traced";
    EXPECT_TRUE(ts::StartsWith(messages.front(), L"CreateProcess(" + echo));
    EXPECT_TRUE(ts::StartsWith(messages.back(), L"Process with PID="));
    for (const tstring& m : messages) {
        EXPECT_EQ(m.find(L"AssignProcessToJobObject"), tstring::npos);
    }
}

TEST_F(ExecutorTest, MissingExecutableRaisesTheCreationText) {
    const tstring missing = dir / L"missing.exe";
    Executor executor(missing);
    executor.suspended(true).inherit(true).push_back(L"a b");
    EXPECT_TRUE(ts::raisesErrorStartingWith<CvError<SysError>>(
        [&] { executor.execAndWaitForExit(); }, "CreateProcess[suspended][inherit](" +
                                                    ts::utf8(missing) + ", " + ts::utf8(missing) +
                                                    " \"a b\") failed. System error [2]"));
}

} // namespace

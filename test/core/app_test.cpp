// Application frame: exit codes, and one path for a failure to the trace and the user.
#include <gtest/gtest.h>

#include <windows.h>

#include <cerrno>
#include <fcntl.h>
#include <io.h>

#include "ErrorHandling.h"
#include "Log.h"
#include "TestSupport.h"
#include "app.h"

namespace ts = testing_support;

namespace {

// Standard error of this process, the C runtime's stream and the standard handle both, in a
// file for the fixture's lifetime.
class CapturedStandardError {
public:
    CapturedStandardError()
        : savedHandle(GetStdHandle(STD_ERROR_HANDLE)), path(dir / L"stderr.txt") {
        fflush(stderr);
        savedFd = _dup(2);
        const int fd = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
        _dup2(fd, 2);
        _close(fd);
        SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(2)));
    }

    ~CapturedStandardError() { restore(); }

    CapturedStandardError(const CapturedStandardError&) = delete;
    CapturedStandardError& operator=(const CapturedStandardError&) = delete;

    // What was written so far.
    std::string text() const {
        fflush(stderr);
        return ts::readFile(path);
    }

    std::vector<std::string> lines() const {
        std::vector<std::string> result = ts::splitLines(text());
        return result;
    }

private:
    void restore() {
        fflush(stderr);
        _dup2(savedFd, 2);
        _close(savedFd);
        SetStdHandle(STD_ERROR_HANDLE, savedHandle);
    }

    ts::TempDir dir{L"stderr"};
    HANDLE savedHandle;
    std::wstring path;
    int savedFd = -1;
};

// What the GUI launcher would put in its message box, and what standard error held then.
std::vector<std::string> shown;
std::vector<std::string> errorTextWhenShown;
const CapturedStandardError* currentCapture = nullptr;

void showMessage(const std::string& message) {
    shown.push_back(message);
    errorTextWhenShown.push_back(currentCapture ? currentCapture->text() : std::string());
}

int succeeds() {
    LOG_TRACE(L"a step of the launch");
    return 0;
}
int returnsSeven() {
    return 7;
}
int raisesOwnError() {
    THROW_ERROR(LauncherError("Failed to find JVM in \"x\" directory."));
}
int raisesLibraryError() {
    errno = ENOENT;
    throw LauncherError("library text");
}
int raisesSomethingElse() {
    throw 42;
}
// "Error opening "C:\Users\José\Тест\应用\Demo.cfg" file", as the configuration reader
// raises it: built in UTF-16 and kept in UTF-8.
const wchar_t* const nonAsciiPath = L"C:\\Users\\Jos\u00e9\\\u0422\u0435\u0441\u0442\\\u5e94\u7528";
int raisesNonAsciiError() {
    THROW_ERROR(LauncherError(
        (tstrings::Builder() << L"Error opening \"" << nonAsciiPath << L"\" file").str()));
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved = &Logger::instance().appender();
        shown.clear();
        errorTextWhenShown.clear();
        currentCapture = &captured;
    }
    void TearDown() override {
        currentCapture = nullptr;
        Logger::instance().setAppender(*saved);
    }

    int launch(app::LaunchFunc f) { return app::launch(std::nothrow, f, showMessage); }

    CapturedStandardError captured;
    LogAppender* saved = nullptr;
};

TEST_F(FrameTest, SuccessShowsNothing) {
    ts::ScopedEnv debug(L"CORVELA_DEBUG", L"", true);
    EXPECT_EQ(launch(succeeds), 0);
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(captured.text(), "");
}

// A launch that ends with the exit code of a child it restarted, or of a request handed over,
// returns it through the frame, whose end-of-run record then follows the trace.
TEST_F(FrameTest, TheLaunchFunctionsExitCodeIsTheFramesAfterItsLastRecord) {
    ts::ScopedEnv debug(L"CORVELA_DEBUG", L"true");
    EXPECT_EQ(launch(returnsSeven), 7);
    const std::vector<std::string> lines = captured.lines();
    ASSERT_EQ(lines.size(), 2u) << captured.text();
    EXPECT_TRUE(startsWith(lines[1], "[TRACE] app.cpp:0: Exiting app::launch (entered at "))
        << lines[1];
    EXPECT_TRUE(shown.empty());
}

struct FailureCase {
    app::LaunchFunc f;
    std::string shown;
    std::string record; // how the error record's message starts
};

const FailureCase failureCases[] = {
    // The launcher's own errors: the message without the position.
    {raisesOwnError, "Failed to find JVM in \"x\" directory.",
     "Exception with message 'app_test.cpp("},
    // Other runtime errors: the C runtime's text for errno, not the error's own text.
    {raisesLibraryError, "No such file or directory",
     "Exception with message 'library text' caught"},
    {raisesSomethingElse, "Unknown error", "Unknown exception caught"},
};

TEST_F(FrameTest, FailuresShowTheirMessageOnceAndReturnOne) {
    ts::ScopedEnv debug(L"CORVELA_DEBUG", L"", true);
    for (const FailureCase& c : failureCases) {
        SCOPED_TRACE(c.shown);
        shown.clear();
        errorTextWhenShown.clear();
        const size_t before = captured.text().size();
        EXPECT_EQ(launch(c.f), 1);
        // Standard error gets the message alone, once; the message box the same text, after.
        EXPECT_EQ(captured.text().substr(before), c.shown + "\n");
        ASSERT_EQ(shown, std::vector<std::string>{c.shown});
        EXPECT_EQ(errorTextWhenShown[0].substr(before), c.shown + "\n");
    }
}

TEST_F(FrameTest, TheTraceHoldsTheErrorRecordBeforeTheMessage) {
    ts::ScopedEnv debug(L"CORVELA_DEBUG", L"true");
    for (const FailureCase& c : failureCases) {
        SCOPED_TRACE(c.shown);
        const size_t before = captured.lines().size();
        EXPECT_EQ(launch(c.f), 1);
        const std::vector<std::string> all = captured.lines();
        const std::vector<std::string> lines(all.begin() + before, all.end());
        ASSERT_EQ(lines.size(), 4u) << captured.text();
        EXPECT_TRUE(startsWith(lines[0], "[TRACE] app.cpp:")) << lines[0];
        EXPECT_TRUE(tstrings::endsWith(ts::wide(lines[0]), L": Entering app::launch")) << lines[0];
        EXPECT_TRUE(startsWith(lines[1], "[ERROR] app.cpp:")) << lines[1];
        EXPECT_NE(lines[1].find(": " + c.record), std::string::npos) << lines[1];
        EXPECT_EQ(lines[2], c.shown);
        EXPECT_TRUE(startsWith(lines[3], "[TRACE] app.cpp:0: Exiting app::launch (entered at "))
            << lines[3];
    }
    ASSERT_EQ(shown.size(), 3u);
}

TEST_F(FrameTest, NonAsciiMessagesAreEncodedOnce) {
    ts::ScopedEnv debug(L"CORVELA_DEBUG", L"true");
    const std::string expected = "Error opening \"" + ts::utf8(nonAsciiPath) + "\" file";
    EXPECT_EQ(launch(raisesNonAsciiError), 1);
    // What the message box gets, byte for byte.
    ASSERT_EQ(shown, std::vector<std::string>{expected});
    const std::vector<std::string> lines = captured.lines();
    ASSERT_EQ(lines.size(), 4u) << captured.text();
    // The error record holds the text itself, not its UTF-8 bytes widened and encoded again.
    EXPECT_TRUE(tstrings::endsWith(ts::wide(lines[1]), ts::wide(expected) + L"' caught"))
        << lines[1];
    EXPECT_EQ(lines[2], expected);
}

TEST_F(FrameTest, TheTraceIsPrintedOnlyWithTheDebugSwitch) {
    {
        ts::ScopedEnv debug(L"CORVELA_DEBUG", L"TRUE");
        EXPECT_EQ(launch(succeeds), 0);
        EXPECT_EQ(captured.text(), "");
    }
    ts::ScopedEnv debug(L"CORVELA_DEBUG", L"true");
    EXPECT_EQ(launch(succeeds), 0);
    const std::vector<std::string> lines = captured.lines();
    ASSERT_EQ(lines.size(), 3u) << captured.text();
    EXPECT_TRUE(startsWith(lines[1], "[TRACE] app_test.cpp:")) << lines[1];
    EXPECT_TRUE(tstrings::endsWith(ts::wide(lines[1]), L": a step of the launch")) << lines[1];
    EXPECT_TRUE(shown.empty());
}

} // namespace

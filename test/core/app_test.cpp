#include <gtest/gtest.h>

#include <cerrno>

#include "ErrorHandling.h"
#include "TestSupport.h"
#include "app.h"

namespace ts = testing_support;

namespace {

// Records what the frame shows the user, and the installed appender at that moment.
class ShownMessages : public LogAppender {
public:
    void append(const LogRecord& record) override {
        shown.push_back(app::lastErrorMessage());
        levels.push_back(record.levelName);
        texts.push_back(record.message);
    }
    std::vector<std::string> shown;
    std::vector<tstring> levels;
    std::vector<tstring> texts;
};

void succeeds() {}
void raisesOwnError() {
    THROW_ERROR(std::runtime_error("Failed to find JVM in \"x\" directory."));
}
void raisesLibraryError() {
    errno = ENOENT;
    throw std::runtime_error("library text");
}
void raisesSomethingElse() {
    throw 42;
}
// "Error opening "C:\Users\José\Тест\应用\Demo.cfg" file", as the configuration reader
// raises it: built in UTF-16 and kept in UTF-8.
const wchar_t* const nonAsciiPath = L"C:\\Users\\Jos\u00e9\\\u0422\u0435\u0441\u0442\\\u5e94\u7528";
void raisesNonAsciiError() {
    THROW_ERROR(std::runtime_error(
        (tstrings::Builder() << L"Error opening \"" << nonAsciiPath << L"\" file").str()));
}

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override { saved = &Logger::instance().appender(); }
    void TearDown() override { Logger::instance().setAppender(*saved); }

    int launch(app::LaunchFunc f) { return app::launch(std::nothrow, f, &messages); }

    ShownMessages messages;
    LogAppender* saved = nullptr;
};

TEST_F(FrameTest, SuccessShowsNothing) {
    ts::ScopedEnv debug(L"CORVELA_DEBUG", L"", true);
    EXPECT_EQ(launch(succeeds), 0);
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(app::lastErrorMessage(), "");
}

TEST_F(FrameTest, FailuresShowTheirMessageOnceAndReturnOne) {
    ts::ScopedEnv debug(L"CORVELA_DEBUG", L"", true);
    struct Case {
        app::LaunchFunc f;
        std::string shown;
        tstring record;
    } cases[] = {
        // The launcher's own errors: the message without the position.
        {raisesOwnError, "Failed to find JVM in \"x\" directory.",
         L"Exception with message 'app_test.cpp("},
        // Other runtime errors: the C runtime's text for errno, not the error's own text.
        {raisesLibraryError, "No such file or directory",
         L"Exception with message 'library text' caught"},
        {raisesSomethingElse, "Unknown error", L"Unknown exception caught"},
    };
    for (const Case& c : cases) {
        messages.shown.clear();
        messages.texts.clear();
        EXPECT_EQ(launch(c.f), 1);
        ASSERT_EQ(messages.shown.size(), 1u);
        EXPECT_EQ(messages.shown[0], c.shown);
        EXPECT_EQ(messages.levels[0], L"ERROR");
        EXPECT_EQ(messages.texts[0].rfind(c.record, 0), 0u) << ts::utf8(messages.texts[0]);
        // The pointer to the message does not outlive the frame.
        EXPECT_EQ(app::lastErrorMessage(), "");
    }
}

TEST_F(FrameTest, NonAsciiMessagesAreEncodedOnce) {
    ts::ScopedEnv debug(L"CORVELA_DEBUG", L"", true);
    const std::string expected = "Error opening \"" + ts::utf8(nonAsciiPath) + "\" file";
    EXPECT_EQ(launch(raisesNonAsciiError), 1);
    ASSERT_EQ(messages.shown.size(), 1u);
    // What standard error and the message box get, byte for byte.
    EXPECT_EQ(messages.shown[0], expected);
    // The error record holds the text itself, not its UTF-8 bytes widened one by one.
    const tstring record = messages.texts[0];
    EXPECT_TRUE(tstrings::endsWith(record, ts::wide(expected) + L"' caught")) << ts::utf8(record);
}

TEST_F(FrameTest, AppendersAreRestoredAfterTheRun) {
    ts::ScopedEnv debug(L"CORVELA_DEBUG", L"", true);
    launch(raisesOwnError);
    // Switch off: the discarding appender is installed again, so records go nowhere.
    LogAppender& after = Logger::instance().appender();
    EXPECT_NE(&after, saved);
    EXPECT_NE(&after, &messages);
    const size_t before = messages.shown.size();
    LOG_TRACE(L"dropped");
    EXPECT_EQ(messages.shown.size(), before);
}

} // namespace

// Errors: source positions, system errors, the C runtime's text, and the barriers.
#include <gtest/gtest.h>

#include <windows.h>

#include <cerrno>

#include "ErrorHandling.h"
#include "Log.h"
#include "LogCapture.h"
#include "StartsWith.h"

namespace ts = testing_support;

namespace {

class ErrorsTest : public ::testing::Test {
protected:
    testing_support::CapturedLog capture;
};

TEST(JoinMessages, FollowsThePunctuationRules) {
    struct Case {
        const char* a;
        const char* b;
        const char* expected;
    } cases[] = {
        {"Load failed", "System error [2]", "Load failed. System error [2]"},
        {"Reason:", "text", "Reason: text"},
        {"Really?", "yes", "Really? yes"},
        {"Stop!", "now", "Stop! now"},
        {"List;", "next", "List; next"},
        {"One,", "two", "One, two"},
        {"Done.", "next", "Done. next"},
        {"call(x)", "more", "call(x). more"},
        {"   ", "  second  ", "second"},
        {"first  \t", "   ", "first"},
        {"  ", " ", ""},
        {"", "", ""},
        {"first\n", "\tsecond\r\n", "first. second"},
        {"caf\xc3\xa9", "x", "caf\xc3\xa9. x"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(joinMessages(c.a, c.b), c.expected) << c.a << " | " << c.b;
    }
}

int raisingLine = 0;

void raisePlain() {
    raisingLine = __LINE__ + 1;
    THROW_ERROR(LauncherError("Failed to launch JVM"));
}

TEST(CvError, CarriesThePositionInWhatAndNotInTheBareMessage) {
    try {
        raisePlain();
        FAIL() << "no error raised";
    } catch (const CvErrorBase& e) {
        EXPECT_STREQ(e.bareMessage(), "Failed to launch JVM");
        const std::string what = dynamic_cast<const LauncherError&>(e).what();
        EXPECT_EQ(what, "errors_test.cpp(" + std::to_string(raisingLine) +
                            ") at {anonymous}::raisePlain(): Failed to launch JVM");
    }
}

TEST(CvError, PositionedMessageTakesAPathWithoutSeparatorWhole) {
    const SourcePosition pos{"Launcher", "Jvm::launch", 214};
    EXPECT_EQ(makePositionedMessage(pos, "Failed to launch JVM"),
              "Launcher(214) at Jvm::launch(): Failed to launch JVM");
    const SourcePosition slashes{"a/b\\c/Frame", "app::launch", 1};
    EXPECT_EQ(makePositionedMessage(slashes, "m"), "Frame(1) at app::launch(): m");
}

TEST(SysError, ComposesLabelCodeAndPlatformDescription) {
    try {
        SetLastError(0);
        if (!LoadLibraryW(L"C:\\no\\such\\library.dll")) {
            THROW_ERROR(
                SysError(tstrings::Builder() << L"LoadLibraryW(C:\\no\\such\\library.dll) failed",
                         reinterpret_cast<const void*>(&LoadLibraryW), 126));
        }
        FAIL() << "library loaded";
    } catch (const CvError<SysError>& e) {
        const std::string bare = e.bareMessage();
        const std::string prefix =
            "LoadLibraryW(C:\\no\\such\\library.dll) failed. System error [126](system error 126 (";
        ASSERT_EQ(bare.compare(0, prefix.size(), prefix), 0) << bare;
        ASSERT_GE(bare.size(), prefix.size() + 3);
        EXPECT_EQ(bare.substr(bare.size() - 2), "))");
        // The description is cleaned: no line breaks, no final period.
        const std::string description = bare.substr(prefix.size(), bare.size() - prefix.size() - 2);
        EXPECT_FALSE(description.empty());
        EXPECT_EQ(description.find_first_of("\r\n"), std::string::npos);
        EXPECT_NE(description.back(), '.');
        EXPECT_NE(description.back(), ' ');
        EXPECT_TRUE(ts::StartsWith(std::string(e.what()), "errors_test.cpp("));
    }
}

TEST(SysError, UnknownCodeReadsNoDescriptionAvailable) {
    const SysError e(tstrings::Builder() << L"Call failed", nullptr, 0x20001234u);
    // Without an address there is no module and no system part.
    EXPECT_STREQ(e.what(), "Call failed. System error [536875572]");
    const SysError withAddress(tstrings::Builder() << L"Call failed",
                               reinterpret_cast<const void*>(&GetLastError), 0x20001234u);
    EXPECT_STREQ(withAddress.what(), "Call failed. System error [536875572](system error "
                                     "536875572 (No description available))");
}

TEST_F(ErrorsTest, FailedModuleLookupDropsTheSystemPartWithOneWarning) {
    int onStack = 0;
    const SysError e(tstrings::Builder() << L"Call failed", &onStack, 5);
    EXPECT_STREQ(e.what(), "Call failed. System error [5]");
    ASSERT_EQ(capture.records.size(), 1u);
    EXPECT_EQ(capture.records[0].levelName, L"WARNING");
    EXPECT_TRUE(ts::StartsWith(capture.records[0].message, L"GetModuleHandleEx() failed for "));
    EXPECT_TRUE(tstrings::endsWith(capture.records[0].message, L" address."));
}

TEST(CrtErrorText, DescribesTheCurrentErrno) {
    errno = ENOENT;
    EXPECT_EQ(crtErrorText(), "No such file or directory");
}

TEST_F(ErrorsTest, CatchAndLogReportsEveryKindAtError) {
    try {
        THROW_ERROR(LauncherError("inner"));
    }
    CATCH_AND_LOG
    try {
        throw std::invalid_argument("not a runtime error");
    }
    CATCH_AND_LOG
    try {
        throw 42;
    }
    CATCH_AND_LOG

    ASSERT_EQ(capture.records.size(), 3u);
    for (const LogRecord& r : capture.records) {
        EXPECT_EQ(r.levelName, L"ERROR");
        EXPECT_EQ(r.fileName, L"errors_test.cpp");
        EXPECT_EQ(r.functionName,
                  L"{anonymous}::ErrorsTest_CatchAndLogReportsEveryKindAtError_Test::TestBody");
    }
    EXPECT_TRUE(
        ts::StartsWith(capture.records[0].message, L"Exception with message 'errors_test.cpp("));
    EXPECT_TRUE(tstrings::endsWith(capture.records[0].message, L"TestBody(): inner' caught"));
    EXPECT_EQ(capture.records[1].message, L"Unknown exception caught");
    EXPECT_EQ(capture.records[2].message, L"Unknown exception caught");
}

// An appender that fails on every record but the first (a scope's entering record), like a
// standard error stream that can no longer be written.
class FailingAppender : public LogAppender {
public:
    void append(const LogRecord&) override {
        if (++calls > 1) {
            throw LauncherError("appender failed");
        }
    }
    int calls = 0;
};

void raiseInsideATraceScope() {
    TRACE_FUNCTION();
    THROW_ERROR(LauncherError("the real failure"));
}

TEST(Barriers, AFailingAppenderNeverReplacesTheErrorBeingReported) {
    FailingAppender failing;
    LogAppender& saved = Logger::instance().appender();
    Logger::instance().setAppender(failing);
    std::string caught;
    try {
        // Under way out: the scope's exiting record fails while the error unwinds.
        raiseInsideATraceScope();
    } catch (const CvErrorBase& e) {
        caught = e.bareMessage();
    }
    // The barrier's own report fails too, and is swallowed.
    try {
        throw 42;
    }
    CATCH_AND_LOG
    logException(SOURCE_POSITION, LauncherError("direct"));
    Logger::instance().setAppender(saved);
    EXPECT_EQ(caught, "the real failure");
    EXPECT_GE(failing.calls, 4);
}

TEST_F(ErrorsTest, ErrorTextsThatAreNotUtf8KeepTheirBytes) {
    try {
        throw LauncherError("caf\xe9");
    }
    CATCH_AND_LOG
    try {
        throw LauncherError("caf\xc3\xa9");
    }
    CATCH_AND_LOG
    ASSERT_EQ(capture.records.size(), 2u);
    EXPECT_EQ(capture.records[0].message, L"Exception with message 'caf\u00e9' caught");
    EXPECT_EQ(capture.records[1].message, L"Exception with message 'caf\u00e9' caught");
}

} // namespace

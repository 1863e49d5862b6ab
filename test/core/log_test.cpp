#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>

#include "Log.h"
#include "LogCapture.h"
#include "TestSupport.h"

namespace {

class CapturingAppender : public LogAppender {
public:
    void append(const LogRecord& record) override { records.push_back(record); }
    std::vector<LogRecord> records;
};

class LogTest : public ::testing::Test {
protected:
    testing_support::CapturedLog capture;
};

LogRecord sampleRecord() {
    LogRecord r;
    r.time = LogTime{2024, 3, 2, 5, 14, 7, 9, 42};
    r.processId = 812;
    r.threadId = 936;
    r.appName = L"Demo.exe";
    r.levelName = L"TRACE";
    r.fileName = L"Frame";
    r.line = 52;
    r.functionName = L"launch";
    r.message = L"Entering launch";
    return r;
}

// What a StreamLogAppender writes for one record, read back from the file it wrote to.
std::string streamed(const LogRecord& record) {
    testing_support::TempDir dir;
    const std::wstring path = dir / L"log.txt";
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (!file) {
        return "<cannot open " + testing_support::utf8(path) + ">";
    }
    StreamLogAppender(file).append(record);
    fclose(file);
    return testing_support::readFile(path);
}

TEST(StreamLogAppender, WritesTheTwoLineRecord) {
    EXPECT_EQ(streamed(sampleRecord()),
              "[2024/03/05 14:07:09.042, Demo.exe (PID: 812, TID: 936), Frame:52 "
              "(launch)]\n\tTRACE: Entering launch\n");

    LogRecord empty = sampleRecord();
    empty.message.clear();
    empty.levelName = L"ERROR";
    empty.functionName = L"Jvm::launch";
    empty.appName = L"\u0414\u0435\u043c\u043e.exe";
    EXPECT_EQ(streamed(empty),
              "[2024/03/05 14:07:09.042, \xd0\x94\xd0\xb5\xd0\xbc\xd0\xbe.exe (PID: "
              "812, TID: 936), Frame:52 (Jvm::launch)]\n\tERROR: \n");
}

TEST_F(LogTest, RecordsCarryLevelNameFileNameAndQualifiedFunction) {
    Logger& logger = Logger::instance();
    logger.log(TRACE, L"C:\\src\\a\\Frame.cpp", 10, L"app::launch", L"t");
    logger.log(WARNING, L"src/b/Other.cpp", 11, L"f", L"w");
    logger.log(static_cast<LogLevel>(7), L"NoSeparator.cpp", 12, L"f", L"u");
    logger.log(static_cast<LogLevel>(-1), L"dir\\", 13, L"f", L"u");
    LOG_TRACE(L"value=" << 5);

    ASSERT_EQ(capture.records.size(), 5u);
    EXPECT_EQ(capture.records[0].levelName, L"TRACE");
    EXPECT_EQ(capture.records[0].fileName, L"Frame.cpp");
    EXPECT_EQ(capture.records[1].levelName, L"WARNING");
    EXPECT_EQ(capture.records[1].fileName, L"Other.cpp");
    EXPECT_EQ(capture.records[2].levelName, L"UNKNOWN");
    EXPECT_EQ(capture.records[2].fileName, L"NoSeparator.cpp");
    EXPECT_EQ(capture.records[3].levelName, L"UNKNOWN");
    EXPECT_EQ(capture.records[3].fileName, L"");

    const LogRecord& r = capture.records[4];
    EXPECT_EQ(r.message, L"value=5");
    EXPECT_EQ(r.fileName, L"log_test.cpp");
    EXPECT_EQ(
        r.functionName,
        L"{anonymous}::LogTest_RecordsCarryLevelNameFileNameAndQualifiedFunction_Test::TestBody");
    EXPECT_EQ(r.processId, GetCurrentProcessId());
    EXPECT_EQ(r.threadId, GetCurrentThreadId());
    EXPECT_STREQ(r.appName, L"test_core.exe");
    EXPECT_EQ(r.appName, logAppName());
}

int evaluations = 0;
int countEvaluation() {
    return ++evaluations;
}

void tracedFunction() {
    TRACE_FUNCTION();
}

TEST_F(LogTest, TraceScopePairsEnteringAndExitingRecords) {
    tracedFunction();
    ASSERT_EQ(capture.records.size(), 2u);
    const LogRecord& entering = capture.records[0];
    const LogRecord& exiting = capture.records[1];
    EXPECT_EQ(entering.message, L"Entering {anonymous}::tracedFunction");
    EXPECT_EQ(entering.functionName, L"{anonymous}::tracedFunction");
    EXPECT_GT(entering.line, 0);
    EXPECT_EQ(exiting.line, 0);
    EXPECT_EQ(exiting.message, L"Exiting {anonymous}::tracedFunction (entered at log_test.cpp:" +
                                   std::to_wstring(entering.line) + L")");
}

TEST_F(LogTest, ScopeThatWasNotActiveAtEntryStaysSilentAtExit) {
    // The enabled test is taken once, at construction; the threshold never changes in the
    // product, so drive it through a scope made for a level below TRACE.
    {
        TraceScope scope(Logger::instance(), static_cast<LogLevel>(-1), L"f.cpp", 3, L"fn",
                         L"scope");
    }
    EXPECT_TRUE(capture.records.empty());
    { TraceScope scope(Logger::instance(), TRACE, L"dir/f.cpp", 3, L"fn", L"scope"); }
    ASSERT_EQ(capture.records.size(), 2u);
    EXPECT_EQ(capture.records[1].message, L"Exiting scope (entered at f.cpp:3)");
}

TEST_F(LogTest, MessageOperandsAreEvaluatedOnlyForEnabledLevels) {
    evaluations = 0;
    LOG_TRACE(L"n=" << countEvaluation());
    EXPECT_EQ(evaluations, 1);
    ASSERT_EQ(capture.records.size(), 1u);
    EXPECT_EQ(capture.records[0].message, L"n=1");

    // Below the threshold (TRACE) a statement neither builds its message nor logs.
    const LogLevel belowThreshold = static_cast<LogLevel>(TRACE - 1);
    ASSERT_FALSE(Logger::instance().isEnabled(belowThreshold));
    CV_LOG(belowThreshold, L"n=" << countEvaluation());
    EXPECT_EQ(evaluations, 1);
    EXPECT_EQ(capture.records.size(), 1u);
}

TEST(TeeLogAppender, ForwardsToPresentSinksInOrder) {
    CapturingAppender first;
    CapturingAppender second;
    const LogRecord record = sampleRecord();

    TeeLogAppender(&first, &second).append(record);
    TeeLogAppender(nullptr, &second).append(record);
    TeeLogAppender(nullptr, nullptr).append(record);
    TeeLogAppender(&first, nullptr).append(record);
    EXPECT_EQ(first.records.size(), 2u);
    EXPECT_EQ(second.records.size(), 2u);
    NopLogAppender().append(record);
}

} // namespace

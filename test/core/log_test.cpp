// Logger: records, their levels and appenders.
#include <gtest/gtest.h>

#include "Log.h"
#include "LogCapture.h"
#include "TestSupport.h"

namespace {

class LogTest : public ::testing::Test {
protected:
    testing_support::CapturedLog capture;
};

TEST_F(LogTest, RecordsCarryLevelNameFileNameAndQualifiedFunction) {
    Logger& logger = Logger::instance();
    logger.log(TRACE, L"C:\\src\\a\\Frame.cpp", 10, L"app::launch", L"t");
    logger.log(WARNING, L"src/b/Other.cpp", 11, L"f", L"w");
    logger.log(ERROR, L"NoSeparator.cpp", 12, L"f", L"e");
    logger.log(static_cast<LogLevel>(7), L"dir\\", 13, L"f", L"u");
    logger.log(static_cast<LogLevel>(-1), L"x.cpp", 14, L"f", L"u");
    LOG_TRACE(L"value=" << 5);

    ASSERT_EQ(capture.records.size(), 6u);
    const struct {
        const wchar_t* level;
        const wchar_t* file;
        std::int32_t line;
    } expected[] = {{L"TRACE", L"Frame.cpp", 10},
                    {L"WARNING", L"Other.cpp", 11},
                    {L"ERROR", L"NoSeparator.cpp", 12},
                    {L"UNKNOWN", L"", 13},
                    {L"UNKNOWN", L"x.cpp", 14}};
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(capture.records[i].levelName, expected[i].level);
        EXPECT_EQ(capture.records[i].fileName, expected[i].file);
        EXPECT_EQ(capture.records[i].line, expected[i].line);
    }
    EXPECT_EQ(capture.records[0].functionName, L"app::launch");

    const LogRecord& r = capture.records[5];
    EXPECT_EQ(r.levelName, L"TRACE");
    EXPECT_EQ(r.message, L"value=5");
    EXPECT_EQ(r.fileName, L"log_test.cpp");
    EXPECT_EQ(
        r.functionName,
        L"{anonymous}::LogTest_RecordsCarryLevelNameFileNameAndQualifiedFunction_Test::TestBody");
}

void tracedFunction() {
    TRACE_FUNCTION();
    LOG_WARNING(L"inside");
}

TEST_F(LogTest, TraceScopePairsEnteringAndExitingRecords) {
    tracedFunction();
    ASSERT_EQ(capture.records.size(), 3u);
    const LogRecord& entering = capture.records[0];
    const LogRecord& exiting = capture.records[2];
    EXPECT_EQ(entering.message, L"Entering {anonymous}::tracedFunction");
    EXPECT_EQ(entering.functionName, L"{anonymous}::tracedFunction");
    EXPECT_GT(entering.line, 0);
    EXPECT_EQ(capture.records[1].levelName, L"WARNING");
    EXPECT_EQ(capture.records[1].message, L"inside");
    // The exiting record carries line 0 and names the entering line in its message only.
    EXPECT_EQ(exiting.levelName, L"TRACE");
    EXPECT_EQ(exiting.line, 0);
    EXPECT_EQ(exiting.message, L"Exiting {anonymous}::tracedFunction (entered at log_test.cpp:" +
                                   std::to_wstring(entering.line) + L")");

    capture.records.clear();
    { TraceScope scope(Logger::instance(), TRACE, L"dir/f.cpp", 3, L"fn", L"scope"); }
    ASSERT_EQ(capture.records.size(), 2u);
    EXPECT_EQ(capture.records[0].fileName, L"f.cpp");
    EXPECT_EQ(capture.records[1].message, L"Exiting scope (entered at f.cpp:3)");
}

int evaluations = 0;
int countEvaluation() {
    return ++evaluations;
}

TEST_F(LogTest, MessageOperandsAreEvaluatedOnce) {
    evaluations = 0;
    LOG_TRACE(L"n=" << countEvaluation() << L", again " << countEvaluation());
    EXPECT_EQ(evaluations, 2);
    ASSERT_EQ(capture.records.size(), 1u);
    EXPECT_EQ(capture.records[0].message, L"n=1, again 2");
}

TEST_F(LogTest, TheDiscardingAppenderDropsRecordsWhileInstalled) {
    LOG_TRACE(L"before");
    {
        testing_support::QuietLog quiet;
        LOG_TRACE(L"dropped");
        LOG_WARNING(L"dropped too");
    }
    LOG_TRACE(L"after");
    EXPECT_EQ(capture.messages(), (std::vector<tstring>{L"before", L"after"}));
}

} // namespace

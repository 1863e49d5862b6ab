// The host's java command line: which arguments carry Windows paths and how they are mapped.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "JavaCommand.h"
#include "UnixPaths.h"

using bridge::JavaCommand;
using bridge::shellQuote;
using bridge::UnixPaths;

namespace {

struct WordCase {
    const wchar_t* previous;
    const wchar_t* arg;
    // The expected word from the parts: text quoted as is, and paths mapped.
    std::vector<std::pair<bool, const wchar_t*>> parts;
};

const bool path = true;
const bool text = false;

std::string expected(const UnixPaths& paths, const WordCase& c) {
    std::string word;
    for (const auto& part : c.parts) {
        word += part.first ? paths.shellPath(part.second) : shellQuote(bridge::toUtf8(part.second));
    }
    return word;
}

TEST(JavaCommandTest, PathsInOptionsBecomeUnixPaths) {
    const UnixPaths paths;
    ASSERT_TRUE(paths.underWine());
    const JavaCommand command(paths);
    const std::string list =
        paths.shellPath(L"C:\\a b\\x.jar") + ":" + paths.shellPath(L"D:\\y.jar");
    const std::vector<WordCase> cases = {
        {L"", L"-Xshare:auto", {{text, L"-Xshare:auto"}}},
        {L"", L"-XX:+AutoCreateSharedArchive", {{text, L"-XX:+AutoCreateSharedArchive"}}},
        {L"",
         L"-XX:ArchiveClassesAtExit=C:\\data dir\\app.jsa",
         {{text, L"-XX:ArchiveClassesAtExit="}, {path, L"C:\\data dir\\app.jsa"}}},
        {L"",
         L"-XX:SharedArchiveFile=C:\\app.jsa",
         {{text, L"-XX:SharedArchiveFile="}, {path, L"C:\\app.jsa"}}},
        {L"",
         L"-XX:SharedClassListFile=C:\\classes.lst",
         {{text, L"-XX:SharedClassListFile="}, {path, L"C:\\classes.lst"}}},
        {L"", L"-splash:C:\\s.png", {{text, L"-splash:"}, {path, L"C:\\s.png"}}},
        {L"",
         L"-javaagent:C:\\agent.jar=a=b",
         {{text, L"-javaagent:"}, {path, L"C:\\agent.jar"}, {text, L"=a=b"}}},
        {L"-jar", L"C:\\app.jar", {{path, L"C:\\app.jar"}}},
        {L"",
         L"-Xlog:class+load:file=C:\\logs\\load.log:uptime,tags",
         {{text, L"-Xlog:class+load:file="},
          {path, L"C:\\logs\\load.log"},
          {text, L":uptime,tags"}}},
        {L"", L"-Xlog:gc:C:\\gc.log", {{text, L"-Xlog:gc:file="}, {path, L"C:\\gc.log"}}},
        {L"",
         L"-Xlog:gc:\"C:\\a:b\\gc.log\"::filecount=2",
         {{text, L"-Xlog:gc:file="}, {path, L"C:\\a:b\\gc.log"}, {text, L"::filecount=2"}}},
        {L"", L"-Xlog:gc:relative.log", {{text, L"-Xlog:gc:file="}, {path, L"relative.log"}}},
        {L"", L"-Xlog:gc:stdout:uptime", {{text, L"-Xlog:gc:stdout:uptime"}}},
        {L"", L"-Xlog:gc:#1", {{text, L"-Xlog:gc:#1"}}},
        {L"", L"-Xlog:disable", {{text, L"-Xlog:disable"}}},
        {L"", L"-Dx=C:\\not\\mapped", {{text, L"-Dx=C:\\not\\mapped"}}},
    };
    for (const WordCase& c : cases) {
        SCOPED_TRACE(bridge::toUtf8(c.arg));
        EXPECT_EQ(command.word(c.arg, c.previous), expected(paths, c));
    }
    EXPECT_EQ(command.word(L"C:\\a b\\x.jar;D:\\y.jar", L"-classpath"), list);
    EXPECT_EQ(command.word(L"C:\\a b\\x.jar;D:\\y.jar", L"--module-path"), list);
    EXPECT_EQ(command.word(L"-XX:SharedArchiveFile=C:\\a b\\x.jar;D:\\y.jar", L""),
              shellQuote("-XX:SharedArchiveFile=") + list);
}

TEST(JavaCommandTest, ArgumentsAfterTheMainClassJarOrModuleReachTheApplicationUntouched) {
    const UnixPaths paths;
    const JavaCommand command(paths);
    const std::vector<std::wstring> application = {L"-cp", L"C:\\x;D:\\y", L"-splash:C:\\s.png",
                                                   L"-Xlog:gc:C:\\gc.log"};
    std::string untouched;
    for (const std::wstring& arg : application) {
        untouched += " " + shellQuote(bridge::toUtf8(arg));
    }
    const std::vector<std::vector<std::wstring>> starts = {
        {L"-cp", L"C:\\app.jar", L"--add-modules", L"java.sql", L"app.Main"},
        {L"-Dx=1", L"-jar", L"C:\\app.jar"},
        {L"-p", L"C:\\mods", L"-m", L"app/app.Main"},
        {L"--module", L"app"},
    };
    for (const std::vector<std::wstring>& start : starts) {
        SCOPED_TRACE(bridge::toUtf8(start.back()));
        std::vector<std::wstring> args = start;
        args.insert(args.end(), application.begin(), application.end());
        EXPECT_EQ(command.words(args), command.words(start) + untouched);
    }
}

TEST(JavaCommandTest, XlogSplitsLikeTheRuntimeOnWindows) {
    const std::vector<std::pair<std::wstring, std::vector<std::wstring>>> cases = {
        {L"gc", {L"gc"}},
        {L"gc:stdout", {L"gc", L"stdout"}},
        {L"gc:file=C:\\x\\gc.log:uptime", {L"gc", L"file=C:\\x\\gc.log", L"uptime"}},
        {L"gc:C:\\x\\gc.log", {L"gc", L"C:\\x\\gc.log"}},
        {L"gc:\"a:b\":uptime:filesize=1m", {L"gc", L"\"a:b\"", L"uptime", L"filesize=1m"}},
        {L"a:b:c:d:e", {L"a", L"b", L"c", L"d:e"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(bridge::toUtf8(c.first));
        EXPECT_EQ(bridge::xlogParts(c.first), c.second);
    }
}

} // namespace

// A user's JVM options file: its lines, and refused options named with file and line.
#include <gtest/gtest.h>

#include <windows.h>

#include "ErrorHandling.h"
#include "LogCapture.h"
#include "Raises.h"
#include "TestSupport.h"
#include "UserOptions.h"

namespace ts = testing_support;

namespace {

class UserOptionsFileTest : public ::testing::Test {
protected:
    tstring_array read(const std::string& bytes) {
        ts::writeFile(path, bytes);
        return UserOptions::read(path).options();
    }

    std::string error(const std::string& bytes) {
        return ts::raisedMessage([&] { read(bytes); });
    }

    ts::QuietLog quiet;
    ts::TempDir dir;
    tstring path = dir / L"Demo.vmoptions";
};

TEST_F(UserOptionsFileTest, OneOptionPerLineWithCommentsAndBlanks) {
    struct Case {
        const char* bytes;
        tstring_array options;
    } cases[] = {
        {"-Xmx2g\n-Dkey=a value=b\n", {L"-Xmx2g", L"-Dkey=a value=b"}},
        {"# more heap\n\n   \n\t-Xss2m  \n#-Xmx1g\n  # indented comment\n", {L"-Xss2m"}},
        {"\xEF\xBB\xBF-Xmx1g\r\n-Dx=1\r\n", {L"-Xmx1g", L"-Dx=1"}},
        {"\xEF\xBB\xBF# only a comment", {}},
        {"-Dname=Jos\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac", {L"-Dname=Jos\u00e9 \u65e5\u672c"}},
        // Not the options it refuses, though they start alike.
        {"-pooh\n-mx\n-Dcp=-jar\n--module-version=1\n-splashx",
         {L"-pooh", L"-mx", L"-Dcp=-jar", L"--module-version=1", L"-splashx"}},
        {"", {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(read(c.bytes), c.options) << c.bytes;
    }
}

TEST_F(UserOptionsFileTest, RefusedLinesNameTheFileAndTheLine) {
    const std::string where =
        "Error in the user JVM options file \"" + ts::utf8(path) + "\" at line ";
    const std::string replaces = " is not allowed here: -jar, -cp, -classpath, --class-path, -p, "
                                 "--module-path, -m, --module and -splash: belong to the "
                                 "application's own configuration";
    struct Case {
        const char* bytes;
        std::string message;
    } cases[] = {
        {"-Xmx1g\nXmx2g\n", "2: \"Xmx2g\" is not a JVM option: each line holds one option "
                            "starting with \"-\""},
        {"# comment\n\n-jar\n", "3: \"-jar\"" + replaces},
        {"-jar other.jar", "1: \"-jar other.jar\"" + replaces},
        {"-cp\n", "1: \"-cp\"" + replaces},
        {"-classpath x", "1: \"-classpath x\"" + replaces},
        {"--class-path=x.jar", "1: \"--class-path=x.jar\"" + replaces},
        {"-p\tmods", "1: \"-p\tmods\"" + replaces},
        {"--module-path=mods", "1: \"--module-path=mods\"" + replaces},
        {"-m", "1: \"-m\"" + replaces},
        {"--module=app/app.Main", "1: \"--module=app/app.Main\"" + replaces},
        {"  -splash:C:\\s.png", "1: \"-splash:C:\\s.png\"" + replaces},
        {"-Xmx1g\n-Dbad=\xff\n", "2: the line is not UTF-8 text"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error(c.bytes), where + c.message) << c.bytes;
    }
}

TEST_F(UserOptionsFileTest, AFileThatCannotBeOpenedIsAnError) {
    ts::makeDirs(path);
    EXPECT_TRUE(ts::raisesErrorStartingWith([&] { UserOptions::read(path); },
                                            "Error opening \"" + ts::utf8(path) + "\" file: "));
}

} // namespace

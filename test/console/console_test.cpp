// The console launcher as a shell uses it: its standard streams, exit codes and failures.
#include <gtest/gtest.h>

#include <windows.h>

#include "LauncherImage.h"
#include "TestSupport.h"
#include "StartsWith.h"

namespace ts = testing_support;
using ts::Image;
using ts::LaunchPath;

namespace {

const char* const toolCfg = "[Application]\napp.mainclass=tool.Main\n";

class ConsoleTest : public ::testing::Test {
protected:
    Image toolImage() {
        Image image(dir / L"Tool", L"Tool", L"corvela-console.exe");
        image.cfg(toolCfg);
        return image;
    }

    static const char* pathName(LaunchPath path) {
        return path == LaunchPath::InProcess ? "in process" : "restart";
    }

    ts::TempDir dir{L"console"};
};

const LaunchPath bothPaths[] = {LaunchPath::InProcess, LaunchPath::Restart};

TEST_F(ConsoleTest, StandardStreamsAreTheShellsOnBothPaths) {
    const Image image = toolImage();
    const std::wstring input = dir / L"input.txt";
    const std::wstring emptyInput = dir / L"empty.txt";
    const std::wstring output = dir / L"output.txt";
    ts::writeFile(input, "line one\r\nline two\n");
    ts::writeFile(emptyInput, "");
    const std::map<std::wstring, std::wstring> env = {{L"CORVELA_DEBUG", L"false"},
                                                      {L"STANDIN_PRINT", L"hello \u0416"},
                                                      {L"STANDIN_ECHO_STDIN", L"1"}};
    for (LaunchPath path : bothPaths) {
        SCOPED_TRACE(pathName(path));
        // Output and error through pipes, input from a file.
        ts::ProcessResult r = image.run(path, L"", env, {input, L""});
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        EXPECT_EQ(r.out, "out:hello \xd0\x96\nstdin:line one\r\nline two\n");
        EXPECT_EQ(r.err, "err:hello \xd0\x96\n");
        // Output into a file; an empty input ends at once.
        r = image.run(path, L"", env, {emptyInput, output});
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        EXPECT_EQ(ts::readFile(output), "out:hello \xd0\x96\nstdin:");
    }
}

TEST_F(ConsoleTest, ExitCodeIsTheApplications) {
    const Image image = toolImage();
    struct Case {
        const char* what;
        std::map<std::wstring, std::wstring> env;
        DWORD exitCode;
    } cases[] = {
        {"main returns", {}, 0},
        {"System.exit(3)", {{L"STANDIN_SYSTEM_EXIT", L"3"}}, 3},
        {"a crash", {{L"STANDIN_CRASH", L"1"}}, 0xC0000005u},
    };
    for (LaunchPath path : bothPaths) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(pathName(path)) + ", " + c.what);
            std::map<std::wstring, std::wstring> env = c.env;
            env.emplace(L"CORVELA_DEBUG", L"false");
            const ts::ProcessResult r = image.run(path, L"", env);
            EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        }
    }
}

TEST_F(ConsoleTest, FailureIsOneLineOnStandardError) {
    Image image(dir / L"\u0422\u0435\u0441\u0442", L"Tool", L"corvela-console.exe");
    const std::string message = "Error opening \"" + ts::utf8(image.appDir()) +
                                "\\Tool.cfg\" file: No such file or directory";
    ts::ProcessResult r = image.run(LaunchPath::Restart, L"", {{L"CORVELA_DEBUG", L"false"}});
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_EQ(r.err, message + "\n");
    EXPECT_EQ(r.out, "");

    // The trace goes to the same standard error, redirected or not, and ends with the line.
    r = image.run(LaunchPath::Restart, L"", {{L"CORVELA_DEBUG", L"true"}});
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_TRUE(ts::StartsWith(r.err, "[TRACE] app.cpp:")) << r.err;
    EXPECT_NE(r.err.find("\n" + message + "\n"), std::string::npos) << r.err;
}

} // namespace

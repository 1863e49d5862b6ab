// Limits: large argument lists and configurations, characters outside every code page.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "JvmLauncher.h"
#include "LaunchDataWalk.h"
#include "LauncherImage.h"
#include "Log.h"
#include "LogCapture.h"
#include "TestSupport.h"
#include "WindowsSupport.h"

namespace ts = testing_support;
using ts::Image;
using ts::LaunchPath;

namespace {

TEST(Limits, LaunchDataBlockStaysExactForLargeArgumentLists) {
    ts::QuietLog quiet;
    tstring_array args;
    for (int i = 0; i < 10000; ++i) {
        args.push_back(L"-Dp" + std::to_wstring(i) + L"=" + std::wstring(i % 7, L'v'));
    }
    args.push_back(tstring(32000, L'x'));
    args.push_back(L"");
    const tstring_array names = {L"PATH", L"LONG"};
    const tstring_array values = {L"C:\\a", tstring(32000, L'y')};
    const JvmlLauncherAPI* api = jvmLauncherGetAPI();
    JliLaunchData* handle = new JliLaunchData(L"C:\\rt\\bin\\jli.dll", args, names, values);
    const std::int32_t fromSlot1 = api->getJvmlLauncherDataSize(handle);
    std::int32_t stored = 0;
    const UniqueMallocMemory<JvmlLauncherData> block(makeJvmlLauncherData(api, handle, &stored));
    ASSERT_TRUE(block);
    EXPECT_EQ(stored, fromSlot1);

    ASSERT_EQ(block->argCount, static_cast<int>(args.size()));
    const ts::LaunchDataContents contents = ts::walkLaunchData(block.get(), stored);
    EXPECT_EQ(contents.outside, std::vector<std::string>());
    ASSERT_EQ(contents.args.size(), args.size());
    for (size_t i = 0; i < args.size(); ++i) {
        ASSERT_EQ(contents.args[i], tstrings::toACP(args[i])) << i;
    }
    EXPECT_TRUE(contents.argsNullTerminated);
    EXPECT_EQ(contents.envNames, names);
    EXPECT_EQ(contents.envValues, values);
    // The last value ends exactly at the block's end.
    EXPECT_EQ(contents.end, static_cast<std::uintptr_t>(stored));
}

class LimitsTest : public ::testing::Test {
protected:
    ts::TempDir dir{L"limits"};
};

TEST_F(LimitsTest, LargeConfigurationsReachTheRuntimeIntact) {
    Image image(dir / L"Demo");
    std::string text = "[Application]\napp.mainclass=app.Main\n[JavaOptions]\n";
    std::vector<std::wstring> expected;
    for (int i = 0; i < 1000; ++i) {
        text += "java-options=-Dopt" + std::to_string(i) + "=value " + std::to_string(i) + "\n";
        expected.push_back(L"-Dopt" + std::to_wstring(i) + L"=value " + std::to_wstring(i));
    }
    const std::string longOption = "-Dlong=" + std::string(32000, 'z');
    text += "java-options=" + longOption + "\n";
    expected.push_back(ts::wide(longOption));
    expected.push_back(L"-Dcorvela.app-path=" + image.exe());
    expected.push_back(L"app.Main");
    text += "[ArgOptions]\n";
    for (int i = 0; i < 10000; ++i) {
        text += "arguments=a" + std::to_string(i) + "\n";
        expected.push_back(L"a" + std::to_wstring(i));
    }
    // Up to 100,000 lines with comments the parser has to walk through too.
    const int lines = static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    for (int i = lines; i < 100000; ++i) {
        text += "; filler " + std::to_string(i) + "\n";
    }
    image.cfg(text);
    const ts::ProcessResult r = image.run(LaunchPath::InProcess, L"", {{L"CORVELA_DEBUG", L"0"}});
    ASSERT_EQ(r.exitCode, 0u) << r.err;
    const std::vector<std::string> args = image.record().args();
    ASSERT_EQ(args.size(), expected.size() + 1);
    EXPECT_EQ(args[0], ts::utf8(image.exe()));
    for (size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(args[i + 1], ts::utf8(expected[i])) << i;
    }
}

TEST_F(LimitsTest, CharactersOutsideEveryAnsiCodePageArriveExactly) {
    // Chinese, Hebrew and Latin in one argument: no ANSI code page holds them all, UTF-8 does.
    Image image(dir / L"Demo");
    image.cfg("[Application]\napp.mainclass=app.Main\n");
    const std::wstring arg = L"\u4f60\u597d \u05e9\u05dc\u05d5\u05dd caf\u00e9 \U0001F600";
    const ts::ProcessResult r = image.run(LaunchPath::Restart, L"\"" + arg + L"\"");
    ASSERT_EQ(r.exitCode, 0u) << r.err;
    const std::vector<std::string> args = image.record().args();
    ASSERT_FALSE(args.empty());
    EXPECT_EQ(args.back(), ts::utf8(arg));
    EXPECT_EQ(args.back().find('?'), std::string::npos);
    // The trace shows the same text.
    EXPECT_NE(r.err.find(ts::utf8(arg)), std::string::npos);
}

} // namespace

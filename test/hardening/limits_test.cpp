#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "JvmLauncher.h"
#include "LauncherImage.h"
#include "Log.h"
#include "LogCapture.h"
#include "TestSupport.h"

namespace ts = testing_support;
using ts::acp;
using ts::Image;

namespace {

std::uintptr_t pointerAt(const char* at) {
    std::uintptr_t value;
    memcpy(&value, at, sizeof(value));
    return value;
}

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
    JvmlLauncherData* block = makeJvmlLauncherData(api, handle, &stored);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(stored, fromSlot1);

    const char* base = reinterpret_cast<const char*>(block);
    const auto inside = [&](std::uintptr_t p) {
        return p >= reinterpret_cast<std::uintptr_t>(base) + 40 &&
               p < reinterpret_cast<std::uintptr_t>(base) + static_cast<std::uintptr_t>(stored);
    };
    ASSERT_EQ(block->argCount, static_cast<int>(args.size()));
    const char* argv = reinterpret_cast<const char*>(block->argValues);
    size_t end = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::uintptr_t p = pointerAt(argv + 8 * i);
        ASSERT_TRUE(inside(p)) << i;
        const char* text = reinterpret_cast<const char*>(p);
        ASSERT_EQ(std::string(text), tstrings::toACP(args[i])) << i;
        end = p + strlen(text) + 1 - reinterpret_cast<std::uintptr_t>(base);
    }
    EXPECT_EQ(pointerAt(argv + 8 * args.size()), 0u);
    for (int i = 0; i < 2; ++i) {
        const std::uintptr_t v =
            pointerAt(reinterpret_cast<const char*>(block->envValueValues) + 8 * i);
        ASSERT_TRUE(inside(v));
        EXPECT_EQ(tstring(reinterpret_cast<const wchar_t*>(v)), values[i]);
    }
    // The last value ends exactly at the block's end.
    const std::uintptr_t last = pointerAt(reinterpret_cast<const char*>(block->envValueValues) + 8);
    EXPECT_EQ(last + (values[1].size() + 1) * 2 - reinterpret_cast<std::uintptr_t>(base),
              static_cast<std::uintptr_t>(stored));
    EXPECT_LT(end, static_cast<size_t>(stored));
    free(block);
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
    const ts::ProcessResult r = image.run(L"", {{L"CORVELA_DEBUG", L"0"}}, true);
    ASSERT_EQ(r.exitCode, 0u) << r.err;
    const std::vector<std::string> args = image.record().args();
    ASSERT_EQ(args.size(), expected.size() + 1);
    EXPECT_EQ(args[0], acp(image.exe()));
    for (size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(args[i + 1], acp(expected[i])) << i;
    }
}

TEST_F(LimitsTest, CharactersOutsideTheAnsiCodePage) {
    Image image(dir / L"Demo");
    image.cfg("[Application]\napp.mainclass=app.Main\n");
    const std::wstring arg = L"\u4f60\u597d \u05e9\u05dc\u05d5\u05dd caf\u00e9";
    const ts::ProcessResult r = image.run(L"\"" + arg + L"\"");
    ASSERT_EQ(r.exitCode, 0u) << r.err;
    const std::vector<std::string> args = image.record().args();
    ASSERT_FALSE(args.empty());
    // The code page's default character in the JVM argument, nothing else altered...
    EXPECT_EQ(args.back(), acp(arg));
    EXPECT_NE(args.back().find('?'), std::string::npos);
    EXPECT_NE(args.back().find(" caf"), std::string::npos);
    // ...and the original text in the trace.
    EXPECT_NE(r.err.find(ts::utf8(arg)), std::string::npos);
}

} // namespace

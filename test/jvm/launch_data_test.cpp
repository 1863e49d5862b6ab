// The launch data block: its size, its layout and the table that builds it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "ErrorHandling.h"
#include "JvmLauncher.h"
#include "Log.h"
#include "LaunchDataWalk.h"
#include "LogCapture.h"
#include "StartsWith.h"
#include "WindowsSupport.h"

namespace ts = testing_support;

namespace {

class LaunchDataTest : public ::testing::Test {
protected:
    testing_support::CapturedLog capture;
};

std::uintptr_t pointerAt(const char* at) {
    std::uintptr_t value;
    memcpy(&value, at, sizeof(value));
    return value;
}

typedef UniqueMallocMemory<JvmlLauncherData> Block;

TEST_F(LaunchDataTest, WorkedExampleLayout) {
    const JvmlLauncherAPI* api = jvmLauncherGetAPI();
    std::int32_t size = 0;
    Block block(makeJvmlLauncherData(
        api, new JliLaunchData(L"0123456789", {L"abc", L"defgh"}, {L"PATH"}, {L"vvvvvv"}), &size));
    ASSERT_TRUE(block);
    EXPECT_EQ(size, 125);

    const char* base = reinterpret_cast<const char*>(block.get());
    const std::uintptr_t b = reinterpret_cast<std::uintptr_t>(base);
    EXPECT_EQ(pointerAt(base + 0), b + 40);
    EXPECT_EQ(block->argCount, 2);
    EXPECT_EQ(block->envCount, 1);
    EXPECT_EQ(pointerAt(base + 16), b + 51);
    EXPECT_EQ(pointerAt(base + 24), b + 85);
    EXPECT_EQ(pointerAt(base + 32), b + 103);
    EXPECT_STREQ(base + 40, "0123456789");
    // The argument array at an odd offset, its entries, and the null terminator.
    EXPECT_EQ(pointerAt(base + 51), b + 75);
    EXPECT_EQ(pointerAt(base + 59), b + 79);
    EXPECT_EQ(pointerAt(base + 67), 0u);
    EXPECT_STREQ(base + 75, "abc");
    EXPECT_STREQ(base + 79, "defgh");
    EXPECT_EQ(pointerAt(base + 85), b + 93);
    EXPECT_EQ(memcmp(base + 93, L"PATH", 10), 0);
    EXPECT_EQ(pointerAt(base + 103), b + 111);
    EXPECT_EQ(memcmp(base + 111, L"vvvvvv", 14), 0);

    // "Need" from slot 1 and from the first pass of slot 2, then "Initialized".
    const std::vector<tstring> messages = capture.messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], L"Need 125 bytes for JvmlLauncherData buffer");
    EXPECT_EQ(messages[1], L"Need 125 bytes for JvmlLauncherData buffer");
    EXPECT_TRUE(ts::StartsWith(messages[2], L"Initialized 125 bytes at "));
    EXPECT_TRUE(tstrings::endsWith(messages[2], L" address"));
}

TEST_F(LaunchDataTest, EveryPointerStaysInsideTheBlock) {
    struct Case {
        tstring_array args;
        tstring_array names;
        tstring_array values;
    } cases[] = {
        {{}, {}, {}},
        {{L"only"}, {}, {}},
        {{L"", L"\u00e9t\u00e9", L"x y"}, {L"A", L"B"}, {L"", L"\u4f60\u597d"}},
    };
    const JvmlLauncherAPI* api = jvmLauncherGetAPI();
    for (const Case& c : cases) {
        std::int32_t size = 0;
        Block block(makeJvmlLauncherData(
            api, new JliLaunchData(L"C:\\rt\\bin\\jli.dll", c.args, c.names, c.values), &size));
        ASSERT_TRUE(block);
        const char* base = reinterpret_cast<const char*>(block.get());
        ASSERT_EQ(block->argCount, static_cast<int>(c.args.size()));
        ASSERT_EQ(block->envCount, static_cast<int>(c.names.size()));
        const ts::LaunchDataContents contents = ts::walkLaunchData(block.get(), size);
        EXPECT_EQ(contents.outside, std::vector<std::string>());
        std::vector<std::string> expectedArgs;
        for (const tstring& arg : c.args) {
            expectedArgs.push_back(tstrings::toACP(arg));
        }
        EXPECT_EQ(contents.args, expectedArgs);
        EXPECT_TRUE(contents.argsNullTerminated);
        EXPECT_EQ(contents.envNames, c.names);
        EXPECT_EQ(contents.envValues, c.values);
        if (c.names.empty()) {
            // No variables: both arrays point just past the block.
            EXPECT_EQ(reinterpret_cast<const char*>(block->envNameValues), base + size);
            EXPECT_EQ(reinterpret_cast<const char*>(block->envValueValues), base + size);
        }
    }
}

TEST_F(LaunchDataTest, TableSlotsAgreeAndNeverWriteShortBuffers) {
    const JvmlLauncherAPI* api = jvmLauncherGetAPI();
    EXPECT_EQ(api, jvmLauncherGetAPI());
    ASSERT_NE(api, nullptr);

    JliLaunchData* handle = new JliLaunchData(L"lib", {L"a", L"bb"}, {L"N"}, {L"V"});
    const std::int32_t size = api->getJvmlLauncherDataSize(handle);
    ASSERT_GT(size, 40);
    std::vector<char> buffer(static_cast<size_t>(size) + 16, '\x5a');
    EXPECT_EQ(api->initJvmlLauncherData(handle, buffer.data(), size - 1), nullptr);
    for (char c : buffer) {
        ASSERT_EQ(c, '\x5a');
    }
    EXPECT_EQ(api->initJvmlLauncherData(handle, buffer.data(), size),
              reinterpret_cast<JvmlLauncherData*>(buffer.data()));
    for (size_t i = static_cast<size_t>(size); i < buffer.size(); ++i) {
        ASSERT_EQ(buffer[i], '\x5a') << "written past the block";
    }
    api->closeHandle(handle);
    api->closeHandle(nullptr);
    EXPECT_EQ(makeJvmlLauncherData(api, nullptr, nullptr), nullptr);
}

TEST(BlockSize, BlocksOf2GiBOrMoreAreRefused) {
    JvmlLauncherDataSize size;
    size.add(40).add(std::uint64_t(std::numeric_limits<std::int32_t>::max()) - 40);
    EXPECT_EQ(size.checked(), std::numeric_limits<std::int32_t>::max());
    size.add(1);
    EXPECT_THROW(size.checked(), CvErrorBase);
    // Sums past 64 bits saturate instead of wrapping into a small size.
    JvmlLauncherDataSize huge;
    huge.add(std::numeric_limits<std::uint64_t>::max()).add(100);
    EXPECT_THROW(huge.checked(), CvErrorBase);
    EXPECT_EQ(JvmlLauncherDataSize().add(125).checked(), 125);
}

// A table whose size slot reports the failure value, as the layout routine does for a
// block of 2 GiB or more.
int closes = 0;
void countingClose(JvmlLauncherHandle) {
    ++closes;
}
std::int32_t failingSize(JvmlLauncherHandle) {
    return -1;
}
JvmlLauncherData* neverCalled(JvmlLauncherHandle, void*, std::int32_t) {
    ADD_FAILURE() << "initJvmlLauncherData called after a failed size";
    return nullptr;
}

TEST(MakeJvmlLauncherData, FailedSizeGivesNullAndReleasesTheHandle) {
    const JvmlLauncherAPI failing = {countingClose, failingSize, neverCalled};
    int dummy = 0;
    std::int32_t size = 77;
    closes = 0;
    EXPECT_EQ(makeJvmlLauncherData(&failing, &dummy, &size), nullptr);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(size, 77);
}

} // namespace

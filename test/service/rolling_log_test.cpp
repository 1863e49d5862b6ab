// A service's log file rolls before a write would take it past its limit, keeping a number of
// rolled files, and appends to what an earlier run left.
#include <gtest/gtest.h>

#include <windows.h>

#include "ServiceLogs.h"
#include "TestSupport.h"

namespace ts = testing_support;

namespace {

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST(RollingLogTest, RollsAtTheLimitKeepingTheNewestFiles) {
    ts::TempDir dir(L"roll");
    const std::wstring path = dir / L"Server.out.log";
    ts::writeFile(path, "earlier run\n");
    {
        RollingLog log(path, 100, 2);
        for (const char c : std::string("abcd")) {
            const std::string chunk(60, c);
            log.write(chunk.data(), chunk.size());
        }
    }
    // "earlier run" and "a" fit in one file; each later chunk would overflow it.
    EXPECT_EQ(ts::readFile(path), std::string(60, 'd'));
    EXPECT_EQ(ts::readFile(path + L".1"), std::string(60, 'c'));
    EXPECT_EQ(ts::readFile(path + L".2"), std::string(60, 'b'));
    EXPECT_FALSE(exists(path + L".3"));

    // A write larger than the limit goes whole into a file of its own.
    {
        RollingLog log(path, 100, 2);
        const std::string big(150, 'e');
        log.write(big.data(), big.size());
        log.write("f", 1);
    }
    EXPECT_EQ(ts::readFile(path), "f");
    EXPECT_EQ(ts::readFile(path + L".1"), std::string(150, 'e'));
    EXPECT_EQ(ts::readFile(path + L".2"), std::string(60, 'd'));
}

TEST(RollingLogTest, KeepingNoneStartsTheFileAnew) {
    ts::TempDir dir(L"roll");
    const std::wstring path = dir / L"Server.err.log";
    RollingLog log(path, 10, 0);
    log.write("12345678", 8);
    log.write("abc", 3);
    EXPECT_EQ(ts::readFile(path), "abc");
    EXPECT_FALSE(exists(path + L".1"));
}

} // namespace

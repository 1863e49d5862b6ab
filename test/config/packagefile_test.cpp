// Package file: the installed package's name read from the application directory.
#include <gtest/gtest.h>

#include <windows.h>

#include "ErrorHandling.h"
#include "Log.h"
#include "LogCapture.h"
#include "PackageFile.h"
#include "Raises.h"
#include "TestSupport.h"

namespace ts = testing_support;

namespace {

class PackageFileTest : public ::testing::Test {
protected:
    ts::CapturedLog capture;
    ts::TempDir dir;
};

TEST_F(PackageFileTest, OnlyTheFirstLineCountsAndNothingIsTrimmed) {
    struct Case {
        const char* bytes;
        const wchar_t* name;
        bool logsName;
    } cases[] = {
        {"Demo\r\nsecond line\n", L"Demo", true},
        {"Demo \n", L"Demo ", true},
        {"Demo", L"Demo", true},
        {"\nDemo\n", L"", true},
        {"", L"", false},
        {"\x1a"
         "Demo",
         L"", false},
        {"De\x1amo", L"De", true},
        {"a\rb\n", L"a\rb", true},
        {"bad\xff\n", L"", true},
        {"\xd0\x94\xd0\xb5\xd0\xbc\xd0\xbe\n", L"\u0414\u0435\u043c\u043e", true},
        // A byte-order mark is not part of the name; only one leading mark is skipped.
        {"\xef\xbb\xbfPkg\r\n", L"Pkg", true},
        {"\xef\xbb\xbf", L"", false},
        {"\xef\xbb\xbf\xef\xbb\xbfPkg\n", L"\ufeffPkg", true},
    };
    const tstring path = dir / L".package";
    for (const Case& c : cases) {
        ts::writeFile(path, c.bytes);
        capture.records.clear();
        EXPECT_EQ(PackageFile::loadFromAppDir(dir.path()).packageName(), c.name) << c.bytes;
        const std::vector<tstring> messages = capture.messages();
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages[0], L"Read \"" + path + L"\" package file");
        ASSERT_EQ(messages.size(), c.logsName ? 2u : 1u) << c.bytes;
        if (c.logsName) {
            EXPECT_EQ(messages[1], tstring(L"Package name is [") + c.name + L"]");
        }
    }
}

TEST_F(PackageFileTest, NoFileMeansNoNameAndNoRecord) {
    EXPECT_EQ(PackageFile::loadFromAppDir(dir.path()).packageName(), L"");
    EXPECT_TRUE(capture.records.empty());
}

TEST_F(PackageFileTest, DirectoryNamedPackageFailsToOpen) {
    ASSERT_TRUE(CreateDirectoryW((dir / L".package").c_str(), nullptr));
    EXPECT_TRUE(ts::raisesErrorStartingWith([&] { PackageFile::loadFromAppDir(dir.path()); },
                                            "Error opening \"" + ts::utf8(dir / L".package") +
                                                "\" file: "));
}

} // namespace

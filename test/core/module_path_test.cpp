// The path of the running module, found in a deep directory too.
#include <gtest/gtest.h>

#include "FileUtils.h"
#include "SysInfo.h"
#include "TestSupport.h"

namespace ts = testing_support;

namespace {

TEST(Basename, TakesTheLastComponent) {
    EXPECT_EQ(FileUtils::basename(L"C:\\dir\\file.exe"), L"file.exe");
    EXPECT_EQ(FileUtils::basename(L"C:\\dir\\"), L"");
    EXPECT_EQ(FileUtils::basename(L"file"), L"file");
    EXPECT_EQ(FileUtils::basename(L"a/b"), L"b");
    EXPECT_EQ(FileUtils::basename(L""), L"");
}

TEST(CurrentModule, IsThisExecutable) {
    const tstring path = SysInfo::getCurrentModulePath();
    EXPECT_TRUE(tstrings::endsWith(path, L"\\test_core.exe")) << ts::utf8(path);
    EXPECT_TRUE(SysInfo::getCurrentModuleHandle() != nullptr);
    EXPECT_EQ(path, SysInfo::getProcessModulePath());
}

// The module path buffer starts at 260 characters and doubles: paths around and far beyond
// that size come back whole.
TEST(CurrentModule, LongPathsAreReadWhole) {
    ts::TempDir root(L"deep");
    for (size_t wanted : {259u, 260u, 261u, 500u}) {
        // A file name has at most 255 characters and a current directory less than
        // MAX_PATH: the long path is a shorter directory holding a long file name.
        const size_t rootLength = root.path().size();
        const size_t component = wanted > rootLength + 253 ? wanted - rootLength - 252 : 1;
        const std::wstring dir = root.path() + L"\\" + std::wstring(component, L'd');
        const std::wstring name = std::wstring(wanted - dir.size() - 1 - 4, L'x') + L".exe";
        const std::wstring exe = dir + L"\\" + name;
        ASSERT_EQ(exe.size(), wanted);
        ts::makeDirs(dir);
        ts::copyFile(SysInfo::getProcessModulePath(), exe);
        const std::wstring out = root / L"out.txt";
        // CreateProcess takes no application path of MAX_PATH or more, but a relative one
        // resolves against this process's current directory.
        wchar_t saved[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, saved);
        ASSERT_TRUE(SetCurrentDirectoryW(dir.c_str()));
        const ts::ProcessResult r = ts::run(name, name + L" \"--write-module-path=" + out + L"\"");
        SetCurrentDirectoryW(saved);
        ASSERT_EQ(r.exitCode, 0u) << r.err << wanted;
        EXPECT_EQ(ts::wide(ts::readFile(out)), exe);
    }
}

} // namespace

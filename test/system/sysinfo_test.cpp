// System information: command arguments, environment, module path, system directory.
#include <gtest/gtest.h>

#include <windows.h>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "SysInfo.h"
#include "Raises.h"
#include "TestSupport.h"

namespace ts = testing_support;

namespace {

const wchar_t* const var = L"CORVELA_TEST_VARIABLE";

TEST(EnvVariable, ValuesAroundTheFirstBufferSizeComeBackWhole) {
    for (size_t length : {0u, 1u, 9u, 10u, 11u, 32000u}) {
        tstring value;
        for (size_t i = 0; i < length; ++i) {
            value.push_back(static_cast<wchar_t>(L'a' + i % 26));
        }
        ts::ScopedEnv set(var, value);
        EXPECT_EQ(SysInfo::getEnvVariable(var), value) << length;
        EXPECT_EQ(SysInfo::getEnvVariable(var, L"default"), value) << length;
    }
}

TEST(EnvVariable, UnsetDiffersFromEmpty) {
    {
        ts::ScopedEnv empty(var, L"");
        EXPECT_EQ(SysInfo::getEnvVariable(var, L"default"), L"");
    }
    ts::ScopedEnv unset(var, L"", true);
    EXPECT_EQ(SysInfo::getEnvVariable(var, L"default"), L"default");
    EXPECT_TRUE(ts::raisesErrorStartingWith([&] { SysInfo::getEnvVariable(var); },
                                            "GetEnvironmentVariable(CORVELA_TEST_VARIABLE) failed. "
                                            "Variable not set. System error [203](system error "
                                            "203 ("));
}

TEST(EnvVariable, SetNeverRemovesAndReportsFailures) {
    ts::ScopedEnv restore(var, L"old");
    SysInfo::setEnvVariable(var, L"new value");
    EXPECT_EQ(ts::env(var), L"new value");
    SysInfo::setEnvVariable(var, L"");
    EXPECT_EQ(SysInfo::getEnvVariable(var, L"default"), L"");
    EXPECT_TRUE(ts::raisesErrorStartingWith([] { SysInfo::setEnvVariable(L"", L"x"); },
                                            "SetEnvironmentVariable(, x) failed."));
}

TEST(SystemDirectory, IsAbsoluteWithoutTrailingSeparator) {
    const tstring dir = SysInfo::getSystemDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_FALSE(FileUtils::isDirSeparator(dir.back()));
    EXPECT_TRUE(FileUtils::fileExists(dir + L"\\kernel32.dll"));
}

TEST(ProcessModulePath, IsAbsolute) {
    const tstring path = SysInfo::getProcessModulePath();
    EXPECT_EQ(path, FileUtils::toAbsolutePath(path));
    EXPECT_TRUE(tstrings::endsWith(path, L"\\test_system.exe"));
}

TEST(CommandArgs, ComeBackUnquotedWithoutTheProgramName) {
    ts::TempDir dir;
    const std::wstring out = dir / L"args.txt";
    const std::wstring exe = SysInfo::getProcessModulePath();
    const ts::ProcessResult r =
        ts::run(exe, L"\"" + exe + L"\" \"--write-args=" + out +
                         L"\" \"quoted arg\" plain \"\" \"C:\\My Dir\\\\\"");
    ASSERT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(ts::splitLines(ts::readFile(out)),
              (std::vector<std::string>{"--write-args=" + ts::utf8(out), "quoted arg", "plain", "",
                                        "C:\\My Dir\\"}));

    const ts::ProcessResult bare = ts::run(exe, L"\"" + exe + L"\" \"--write-args=" + out + L"\"");
    ASSERT_EQ(bare.exitCode, 0u) << bare.err;
    EXPECT_EQ(ts::splitLines(ts::readFile(out)),
              (std::vector<std::string>{"--write-args=" + ts::utf8(out)}));
}

} // namespace

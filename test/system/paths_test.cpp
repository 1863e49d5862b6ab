#include <gtest/gtest.h>

#include <windows.h>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "TestSupport.h"

namespace ts = testing_support;

namespace {

struct PathCase {
    const wchar_t* input;
    const wchar_t* expected;
};

TEST(Dirname, Table) {
    const PathCase cases[] = {
        {L"C:\\dir\\file", L"C:\\dir"},
        {L"C:\\dir\\\\\\file", L"C:\\dir"},
        {L"C:\\dir\\", L"C:\\dir"},
        {L"C:\\file", L"C:"},
        {L"\\file", L""},
        {L"file", L""},
        {L"", L""},
        {L"C:\\dir\\.", L"C:"},
        {L"a/b/c", L"a/b"},
        {L"a/b/.", L"a"},
        {L"\\\\", L""},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(FileUtils::dirname(c.input), c.expected) << ts::utf8(c.input);
    }
}

TEST(CombinePath, Table) {
    struct Case {
        const wchar_t* path;
        const wchar_t* component;
        const wchar_t* expected;
    } cases[] = {
        {L"C:\\dir", L"bin", L"C:\\dir\\bin"},
        {L"C:\\dir\\\\", L"bin", L"C:\\dir\\bin"},
        {L"C:\\dir", L"\\bin", L"C:\\dir\\bin"},
        {L"C:\\dir", L"\\\\bin", L"C:\\dir\\\\bin"},
        {L"", L"bin", L"bin"},
        {L"C:\\dir\\", L"", L"C:\\dir\\"},
        {L"C:/dir/", L"bin", L"C:/dir\\bin"},
        {L"C:\\dir", L"/bin", L"C:\\dir\\bin"},
        {L"", L"", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FileUtils::combinePath(c.path, c.component), c.expected) << ts::utf8(c.path);
    }
    EXPECT_EQ(tstring(FileUtils::mkpath() << L"C:\\app" << L"runtime" << L"" << L"bin"),
              L"C:\\app\\runtime\\bin");
}

TEST(StripTrailingSeparators, Table) {
    const PathCase cases[] = {
        {L"C:\\dir\\/", L"C:\\dir"}, {L"\\\\", L""}, {L"C:\\", L"C:"}, {L"", L""}, {L"a", L"a"}};
    for (const PathCase& c : cases) {
        EXPECT_EQ(FileUtils::stripTrailingSeparators(c.input), c.expected) << ts::utf8(c.input);
    }
}

TEST(StripExtension, Table) {
    const PathCase cases[] = {
        {L"launcher.exe", L"launcher"},
        {L"dir.d\\launcher", L"dir.d\\launcher"},
        {L"launcher", L"launcher"},
        {L"launcher.", L"launcher"},
        {L".cfg", L""},
        {L"My.App.exe", L"My.App"},
        {L"dir.d/launcher", L"dir.d/launcher"},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(FileUtils::stripExtension(c.input), c.expected) << ts::utf8(c.input);
    }
}

TEST(FileExists, CountsFilesAndDirectories) {
    ts::TempDir dir;
    ts::writeFile(dir / L"file.txt", "x");
    EXPECT_TRUE(FileUtils::fileExists(dir.path()));
    EXPECT_TRUE(FileUtils::fileExists(dir / L"file.txt"));
    EXPECT_FALSE(FileUtils::fileExists(dir / L"missing.txt"));
    EXPECT_FALSE(FileUtils::fileExists(L""));
}

// The one way every step makes its folders: missing parents too, an existing directory is
// fine, and a file in the way is an error that names it.
TEST(MakeDirectory, MakesParentsKeepsDirectoriesRefusesFiles) {
    ts::TempDir dir(L"mkdir");
    const std::wstring deep = dir / L"a\\b\\c";
    FileUtils::makeDirectory(deep);
    EXPECT_NE(GetFileAttributesW(deep.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesW(deep.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    FileUtils::makeDirectory(deep);
    const std::wstring file = dir / L"file";
    ts::writeFile(file, "x");
    for (const std::wstring& path : {file, file + L"\\below"}) {
        SCOPED_TRACE(ts::utf8(path));
        try {
            FileUtils::makeDirectory(path);
            ADD_FAILURE() << "no error";
        } catch (const CvErrorBase& e) {
            // Below a file, the file is the folder that cannot be made.
            const std::string message = e.bareMessage();
            EXPECT_NE(message.find("CreateDirectory(" + ts::utf8(file) + ") failed"),
                      std::string::npos)
                << message;
        }
    }
}

TEST(ToAbsolutePath, ResolvesAgainstTheCurrentDirectory) {
    ts::TempDir dir;
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.path().c_str()));
    const tstring cwd = FileUtils::toAbsolutePath(L"");
    const tstring app = FileUtils::toAbsolutePath(L"app");
    SetCurrentDirectoryW(saved);

    EXPECT_EQ(tstrings::toLower(cwd), tstrings::toLower(dir.path()));
    EXPECT_EQ(tstrings::toLower(app), tstrings::toLower(dir.path() + L"\\app"));
    EXPECT_EQ(FileUtils::toAbsolutePath(L"C:\\a\\..\\b"), L"C:\\b");
    EXPECT_EQ(FileUtils::toAbsolutePath(L"C:\\a\\.\\b\\"), L"C:\\a\\b\\");
}

} // namespace

// UniqueResource: every owner gives its resource back, and never closes the value meaning none.
#include <gtest/gtest.h>

#include <windows.h>

#include <cerrno>
#include <vector>

#include "TestSupport.h"
#include "UniqueResource.h"
#include "WindowsSupport.h"

namespace ts = testing_support;

namespace {

// A kind of resource whose none is -1, as a file handle's is INVALID_HANDLE_VALUE.
std::vector<int> closed;
void closeCounted(int value) {
    closed.push_back(value);
}
struct MinusOneMeansNone {
    typedef int Type;
    static int none() { return -1; }
    static void close(int value) { closeCounted(value); }
};
typedef UniqueResource<MinusOneMeansNone> Counted;

TEST(UniqueResource, ClosesEachValueOnceAndNeverItsNone) {
    closed.clear();
    {
        Counted none;
        Counted failed(-1);
        EXPECT_FALSE(none);
        EXPECT_FALSE(failed);
        // Null is a value like any other for this kind.
        Counted zero(0);
        EXPECT_TRUE(zero);
        Counted moved(5);
        Counted target(std::move(moved));
        EXPECT_FALSE(moved);
        EXPECT_EQ(target.get(), 5);
        target.reset(6);
        EXPECT_EQ(closed, std::vector<int>{5});
        target.reset(6); // the same value again is kept, not closed
        EXPECT_EQ(closed, std::vector<int>{5});
        Counted released(7);
        EXPECT_EQ(released.release(), 7);
        EXPECT_EQ(released.get(), -1);
    }
    EXPECT_EQ(closed, (std::vector<int>{5, 6, 0}));
}

bool isOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != 0;
}

TEST(UniqueResource, FileHandlesMeanNoneByInvalidHandleValue) {
    ts::TempDir dir;
    // A failed open is no handle: nothing to close, and the open's error stays readable.
    const std::wstring missing = dir / L"missing\\file.txt";
    UniqueFileHandle failed(
        CreateFileW(missing.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    const DWORD openError = GetLastError();
    EXPECT_FALSE(failed);
    failed.reset();
    EXPECT_EQ(GetLastError(), openError);
    EXPECT_FALSE(UniqueFileHandle());

    const std::wstring path = dir / L"file.txt";
    HANDLE raw = INVALID_HANDLE_VALUE;
    {
        const UniqueFileHandle file(
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(file);
        raw = file.get();
        EXPECT_TRUE(isOpen(raw));
        SetLastError(ERROR_FILE_NOT_FOUND);
    }
    // Closed, and the thread's last error as it was.
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(isOpen(raw));
    EXPECT_TRUE(DeleteFileW(path.c_str()));
}

TEST(UniqueResource, CRuntimeOwnersKeepErrno) {
    ts::TempDir dir;
    const std::wstring path = dir / L"file.txt";
    {
        const UniqueFile file(_wfopen(path.c_str(), L"w"));
        ASSERT_TRUE(file);
        const UniqueMallocMemory<char> memory(static_cast<char*>(malloc(16)));
        ASSERT_TRUE(memory);
        errno = ENOENT;
    }
    EXPECT_EQ(errno, ENOENT);
    // The stream was closed: the file can be removed.
    EXPECT_TRUE(DeleteFileW(path.c_str()));
    EXPECT_FALSE(UniqueFile());
}

} // namespace

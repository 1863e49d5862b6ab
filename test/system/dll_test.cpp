// Dll and DllFunction: loading libraries and looking up their functions.
#include <gtest/gtest.h>

#include <windows.h>

#include "Dll.h"
#include "ErrorHandling.h"
#include "SysInfo.h"
#include "Raises.h"
#include "TestSupport.h"

namespace ts = testing_support;

namespace {

typedef int (*TestValueFunc)();

tstring testLibPath() {
    return ts::binDir() + L"\\testlib.dll";
}

bool isLoaded(const tstring& path) {
    HMODULE module = nullptr;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, path.c_str(),
                              &module) != FALSE;
}

TEST(DllFunction, KeepsItsLibraryLoadedAfterTheDllIsGone) {
    ASSERT_FALSE(isLoaded(testLibPath()));
    {
        const DllFunction<TestValueFunc> func(Dll(tstrings::Builder() << testLibPath()),
                                              tstrings::Builder() << L"testValue");
        EXPECT_TRUE(isLoaded(testLibPath()));
        EXPECT_EQ(static_cast<TestValueFunc>(func)(), 1234);
    }
    EXPECT_FALSE(isLoaded(testLibPath()));
}

TEST(Dll, CopiesHoldTheirOwnReference) {
    std::unique_ptr<Dll> copy;
    {
        const Dll lib(tstrings::Builder() << testLibPath());
        copy.reset(new Dll(lib));
        EXPECT_EQ(copy->path(), testLibPath());
    }
    EXPECT_TRUE(isLoaded(testLibPath()));
    copy.reset();
    EXPECT_FALSE(isLoaded(testLibPath()));
}

TEST(Dll, MissingFileRaisesWithTheUnchangedPath) {
    const tstring path = L"C:\\no\\such\\dir/lib.dll";
    const std::string message =
        ts::raisedMessage<CvError<SysError>>([&] { Dll lib(tstrings::Builder() << path); });
    EXPECT_TRUE(
        ts::StartsWith(message, "LoadLibraryW(C:\\no\\such\\dir/lib.dll) failed. System error ["))
        << message;
    // The code is the system's: path or module not found.
    EXPECT_TRUE(message.find("[3]") != std::string::npos ||
                message.find("[126]") != std::string::npos)
        << message;
}

TEST(Dll, MissingExport) {
    const Dll lib(tstrings::Builder() << testLibPath());
    EXPECT_NE(lib.getFunction("testValue"), nullptr);
    EXPECT_TRUE(ts::raisesErrorStartingWith([&] { lib.getFunction("noSuchFunction"); },
                                            "GetProcAddress(" + ts::utf8(testLibPath()) +
                                                ", noSuchFunction) failed. System error [127]"));
    EXPECT_THROW(DllFunction<TestValueFunc>(lib, tstrings::Builder() << L"noSuchFunction"),
                 CvError<SysError>);
}

TEST(Dll, CopyOfAnUnloadedModuleRaises) {
    std::unique_ptr<Dll> lib(new Dll(tstrings::Builder() << testLibPath()));
    // Drop the module behind the object's back, then copy.
    HMODULE module = GetModuleHandleW(testLibPath().c_str());
    ASSERT_NE(module, nullptr);
    FreeLibrary(module);
    EXPECT_TRUE(ts::raisesErrorStartingWith(
        [&] { Dll copy(*lib); }, "GetModuleHandleExW(" + ts::utf8(testLibPath()) + ") failed"));
    // The object's own reference is gone already; keep its destructor from freeing again.
    LoadLibraryW(testLibPath().c_str());
}

} // namespace

// The standard library's failed checks in a launcher: the launcher's own error, the library's text.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "ErrorHandling.h"

namespace {

struct FailedCheck {
    const char* name;
    void (*run)();
    const char* message;
};

const FailedCheck failedChecks[] = {
    {"narrow substr", [] { (void)std::string("abc").substr(5); },
     "basic_string::substr: __pos (which is 5) > this->size() (which is 3)"},
    {"wide at", [] { (void)std::wstring(L"ab").at(2); },
     "basic_string::at: __n (which is 2) >= this->size() (which is 2)"},
    {"vector at", [] { (void)std::vector<int>(1).at(4); },
     "vector::_M_range_check: __n (which is 4) >= this->size() (which is 1)"},
    {"string beyond its largest size",
     [] {
         std::string text;
         text.reserve(text.max_size() + 1);
     },
     "basic_string::_M_create"},
    {"string from a null pointer", [] { std::string text(static_cast<const char*>(nullptr)); },
     "basic_string: construction from null is not valid"},
};

TEST(LibraryChecks, RaiseTheLaunchersErrorWithTheLibrarysMessage) {
    for (const FailedCheck& check : failedChecks) {
        SCOPED_TRACE(check.name);
        try {
            check.run();
            ADD_FAILURE() << "the check passed";
        } catch (const LauncherError& e) {
            EXPECT_STREQ(e.what(), check.message);
        } catch (...) {
            ADD_FAILURE() << "not the launcher's error";
        }
    }
}

TEST(LibraryChecks, AllocationFailuresKeepTheirStandardType) {
    EXPECT_THROW((void)std::allocator<int>().allocate(SIZE_MAX / 2), std::bad_array_new_length);
}

} // namespace

// The standard library's failed checks in a launcher: errors of their kind, the library's text.
#include <gtest/gtest.h>

#include <bitset>
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
    // A runtime error is one of the launcher's own; a logic error (a broken launcher) is not.
    bool launcherError;
};

const FailedCheck failedChecks[] = {
    {"narrow substr", [] { (void)std::string("abc").substr(5); },
     "basic_string::substr: __pos (which is 5) > this->size() (which is 3)", false},
    {"wide at", [] { (void)std::wstring(L"ab").at(2); },
     "basic_string::at: __n (which is 2) >= this->size() (which is 2)", false},
    {"vector at", [] { (void)std::vector<int>(1).at(4); },
     "vector::_M_range_check: __n (which is 4) >= this->size() (which is 1)", false},
    {"string beyond its largest size",
     [] {
         std::string text;
         text.reserve(text.max_size() + 1);
     },
     "basic_string::_M_create", false},
    {"string from a null pointer", [] { std::string text(static_cast<const char*>(nullptr)); },
     "basic_string: construction from null is not valid", false},
    {"bits beyond an unsigned long",
     [] {
         std::bitset<128> bits;
         bits.set(100);
         (void)bits.to_ulong();
     },
     "_Base_bitset::_M_do_to_ulong", true},
};

TEST(LibraryChecks, RaiseErrorsOfTheirKindWithTheLibrarysMessage) {
    for (const FailedCheck& check : failedChecks) {
        SCOPED_TRACE(check.name);
        try {
            check.run();
            ADD_FAILURE() << "the check passed";
        } catch (const LauncherError& e) {
            EXPECT_TRUE(check.launcherError) << "a logic error taken for the launcher's own";
            EXPECT_STREQ(e.what(), check.message);
        } catch (const std::exception& e) {
            EXPECT_FALSE(check.launcherError) << "a runtime error not the launcher's own";
            EXPECT_STREQ(e.what(), check.message);
        } catch (...) {
            ADD_FAILURE() << "not a standard exception";
        }
    }
}

TEST(LibraryChecks, AllocationFailuresKeepTheirStandardType) {
    EXPECT_THROW((void)std::allocator<int>().allocate(SIZE_MAX / 2), std::bad_array_new_length);
}

} // namespace

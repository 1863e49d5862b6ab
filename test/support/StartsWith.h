// An assertion that a text begins with a given prefix, showing both when it does not.
#ifndef CORVELA_STARTSWITH_H
#define CORVELA_STARTSWITH_H

#include <gtest/gtest.h>

#include <string>

namespace testing_support {

// EXPECT_TRUE(StartsWith(text, prefix)): on failure, the text and the prefix expected.
template <class Char>
::testing::AssertionResult StartsWith(const std::basic_string<Char>& text,
                                      const std::basic_string<Char>& prefix) {
    if (text.compare(0, prefix.size(), prefix) == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << ::testing::PrintToString(text) << "\n  does not start with "
           << ::testing::PrintToString(prefix);
}

inline ::testing::AssertionResult StartsWith(const std::string& text, const std::string& prefix) {
    return StartsWith<char>(text, prefix);
}

inline ::testing::AssertionResult StartsWith(const std::wstring& text, const std::wstring& prefix) {
    return StartsWith<wchar_t>(text, prefix);
}

} // namespace testing_support

#endif

// Text: conversions, the builder, splitting, joining, replacing and case.
#include <gtest/gtest.h>

#include "ErrorHandling.h"
#include "tstrings.h"

namespace {

TEST(Utf8, RoundTripsAndRejectsInvalidInputStrictly) {
    const tstring text =
        L"Gr\u00fc\u00dfe \u041f\u0440\u0438\u0432\u0435\u0442 \u4f60\u597d \U0001F600";
    EXPECT_EQ(tstrings::fromUtf8(tstrings::toUtf8(text)), text);
    EXPECT_EQ(tstrings::toUtf8(L"\u00e9"), "\xc3\xa9");

    EXPECT_EQ(tstrings::fromUtf8(""), L"");
    EXPECT_EQ(tstrings::toUtf8(L""), "");
    // Invalid sequences give the empty text, not an error and not replacement characters.
    for (const char* invalid : {"\xff", "abc\xc3", "\xc0\xaf", "\xed\xa0\x80", "ok\x80ok"}) {
        EXPECT_EQ(tstrings::fromUtf8(invalid), L"") << invalid;
    }
}

TEST(Acp, UnrepresentableCharactersBecomeTheDefaultCharacter) {
    EXPECT_EQ(tstrings::toACP(L"plain"), "plain");
    const std::string converted = tstrings::toACP(L"a\u4f60b");
    ASSERT_EQ(converted.size(), 3u);
    EXPECT_EQ(converted[0], 'a');
    EXPECT_EQ(converted[1], '?');
    EXPECT_EQ(converted[2], 'b');
}

TEST(Split, KeepsEmptyPiecesAndRejectsEmptyDelimiter) {
    struct Case {
        const wchar_t* text;
        const wchar_t* delimiter;
        tstring_array expected;
    } cases[] = {
        {L"a;b;c", L";", {L"a", L"b", L"c"}},
        {L";a;;b;", L";", {L"", L"a", L"", L"b", L""}},
        {L"abc", L";", {L"abc"}},
        {L"", L";", {}},
        {L"abc", L"", {}},
        {L"a::b::", L"::", {L"a", L"b", L""}},
        {L";;", L";", {L"", L"", L""}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(tstrings::split(c.text, c.delimiter), c.expected) << c.text;
    }
}

TEST(Replace, ScansLeftToRightAndNeverRescansTheReplacement) {
    EXPECT_EQ(tstrings::replace(L"aaa", L"a", L"aa"), L"aaaaaa");
    EXPECT_EQ(tstrings::replace(L"abc", L"", L"x"), L"abc");
    EXPECT_EQ(tstrings::replace(L"aaaa", L"aa", L"b"), L"bb");
    EXPECT_EQ(tstrings::replace(L"aaa", L"aa", L"b"), L"ba");
    EXPECT_EQ(tstrings::replace(L"$X/$X", L"$X", L"dir"), L"dir/dir");
    EXPECT_EQ(tstrings::replace(L"none", L"zz", L"y"), L"none");
}

TEST(Affixes, CompareCodeUnitsExactly) {
    EXPECT_TRUE(tstrings::startsWith(L"-splash:x", L"-splash:"));
    EXPECT_FALSE(tstrings::startsWith(L"-Splash:x", L"-splash:"));
    EXPECT_FALSE(tstrings::startsWith(L"ab", L"abc"));
    EXPECT_TRUE(tstrings::startsWith(L"ab", L""));
    EXPECT_TRUE(tstrings::endsWith(L"dir\\.", L"\\."));
    EXPECT_FALSE(tstrings::endsWith(L"c", L"abc"));
    EXPECT_TRUE(tstrings::endsWith(L"", L""));
}

TEST(ToLower, ChangesOnlyAsciiLettersInTheDefaultLocale) {
    EXPECT_EQ(tstrings::toLower(L"C:\\Program FILES\\App"), L"c:\\program files\\app");
    EXPECT_EQ(tstrings::toLower(L"\u00c4\u0416"), L"\u00c4\u0416");
}

TEST(Join, PutsTheDelimiterBetweenNeighboursOnly) {
    EXPECT_EQ(tstrings::join(tstring_array{L"a", L"b", L"c"}, L';'), L"a;b;c");
    EXPECT_EQ(tstrings::join(tstring_array{L"a"}, L";"), L"a");
    EXPECT_EQ(tstrings::join(tstring_array{}, L";"), L"");
    EXPECT_EQ(tstrings::join(tstring_array{L"", L""}, L" "), L" ");
}

std::string formatPrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    try {
        std::string result = tstrings::vformatPrintf(format, args);
        va_end(args);
        return result;
    } catch (...) {
        va_end(args);
        throw;
    }
}

TEST(FormatPrintf, GrowsIn256UnitStepsAndShrinksToTheResult) {
    for (size_t length : {0u, 1u, 255u, 256u, 257u, 511u, 512u, 1000u}) {
        const std::string arg(length, 'x');
        EXPECT_EQ(formatPrintf("%s", arg.c_str()), arg) << length;
    }
    EXPECT_EQ(formatPrintf("%04u/%02u %s (%u)", 7u, 3u,
                           "w\xc3\xa9"
                           "de",
                           42u),
              "0007/03 w\xc3\xa9"
              "de (42)");
    // A plain error, reported with its text by every barrier.
    EXPECT_THROW(formatPrintf(nullptr), CvError<LauncherError>);
}

// Every kind of operand the launcher writes, in exactly the form its messages have had.
TEST(Builder, FormatsEveryOperandExactly) {
    struct Case {
        tstrings::Builder built;
        const wchar_t* expected;
    };
    const auto build = [](auto value) {
        tstrings::Builder b;
        b << value;
        return b;
    };
    Case cases[] = {
        {build(0), L"0"},
        {build(-2147483647 - 1), L"-2147483648"},
        {build(2147483647), L"2147483647"},
        {build(static_cast<unsigned long>(4294967295ul)), L"4294967295"},
        {build(static_cast<std::int32_t>(-1)), L"-1"},
        {build(static_cast<std::uint64_t>(18446744073709551615ull)), L"18446744073709551615"},
        {build(static_cast<std::int64_t>(-9223372036854775807ll - 1)), L"-9223372036854775808"},
        {build(static_cast<size_t>(123456789012ull)), L"123456789012"},
        {build(static_cast<unsigned short>(65535)), L"65535"},
        {build(static_cast<short>(-32768)), L"-32768"},
        // A null pointer is a bare 0, as the stream wrote it; others have the 0x form.
        {build(static_cast<const void*>(nullptr)), L"0"},
        {build(reinterpret_cast<const void*>(0xc558b0)), L"0xc558b0"},
        {build(reinterpret_cast<const void*>(0x7ffabcdef0123456ull)), L"0x7ffabcdef0123456"},
        {build(L'\u0416'), L"\u0416"},
        {build(L"wide \u65e5"), L"wide \u65e5"},
        {build(reinterpret_cast<const void*>(0x1234)), L"0x1234"},
        // Narrow character arrays are widened byte by byte; std::string is decoded as UTF-8.
        {build("\x7f\x80\xff"), L"\x7f\x80\xff"},
        {build("\xc3\xa9"), L"\u00c3\u00a9"},
        {build(std::string("\xc3\xa9")), L"\u00e9"},
        {build(std::string("caf\xc3\xa9 \xff")), L""}, // not UTF-8: nothing, as decoded
        {build(std::string()), L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(tstrings::toUtf8(c.expected));
        EXPECT_EQ(c.built.tstr(), tstring(c.expected));
    }
    // Built from a narrow text, the text is decoded as UTF-8.
    EXPECT_EQ(tstrings::Builder("\xc3\xa9").tstr(), L"\u00e9");

    // Operands in a chain, read back wide and narrow.
    tstrings::Builder mixed;
    mixed << L"n=" << 42 << L' ' << tstring(L"t") << L" u=" << 4294967295u << L" i=" << -5;
    EXPECT_EQ(mixed.tstr(), L"n=42 t u=4294967295 i=-5");
    EXPECT_EQ(mixed.str(), "n=42 t u=4294967295 i=-5");

    // A wide text holding a zero: the stream wrote it whole.
    tstrings::Builder zero;
    zero << tstring(L"a\0b", 3);
    EXPECT_EQ(zero.tstr(), tstring(L"a\0b", 3));
}

} // namespace

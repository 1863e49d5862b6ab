// The launcher splits its command line as CommandLineToArgvW does, without loading shell32:
// checked against CommandLineToArgvW itself on every short line of the characters that
// matter, and on the cases that show the rules.
#include <gtest/gtest.h>

#include <windows.h>

#include <shellapi.h>

#include <string>

#include "CommandLine.h"
#include "TestSupport.h"

namespace ts = testing_support;

namespace {

// What CommandLineToArgvW makes of `line`, the program name left out.
tstring_array systemSplit(const tstring& line) {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(line.c_str(), &count);
    tstring_array result;
    if (!args) {
        ADD_FAILURE() << "CommandLineToArgvW(" << ts::utf8(line) << ") failed";
        return result;
    }
    for (int i = 1; i < count; ++i) {
        result.push_back(args[i]);
    }
    LocalFree(args);
    return result;
}

std::string shown(const tstring_array& args) {
    std::string text;
    for (const tstring& arg : args) {
        text += "<" + ts::utf8(arg) + ">";
    }
    return text;
}

TEST(CommandLine, TheRulesByExample) {
    const struct {
        const wchar_t* line;
        tstring_array args;
    } cases[] = {
        {L"", {}},
        {L"p", {}},
        {L"p  a\tb  ", {L"a", L"b"}},
        {L"p \"with blank\" \"\" x", {L"with blank", L"", L"x"}},
        {L"p a\\\\b a\\\\\"b c\" a\\\\\\\"b", {L"a\\\\b", L"a\\b c", L"a\\\"b"}},
        {L"p \"C:\\My Dir\\\\\" next", {L"C:\\My Dir\\", L"next"}},
        {L"p \"x\"\"y\" b", {L"x\"y b"}},
        {L"p \"\"\"a b\"\"\"", {L"\"a", L"b\""}},
        {L"p a\"\"b", {L"ab"}},
        // The program name knows no escapes and ends at its closing quote.
        {L"\"C:\\Program Files\\Demo.exe\" one", {L"one"}},
        {L"\"C:\\a b\\x.exe\"next \"arg\"", {L"next", L"arg"}},
        {L"C:\\x\"y z\\Demo.exe\" one", {L"z\\Demo.exe one"}},
        {L" p one", {L"p", L"one"}},
        {L"\"unclosed program name", {}},
        {L"Grüße \"世界 x\"", {L"世界 x"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ts::utf8(c.line));
        EXPECT_EQ(shown(CommandLine::arguments(c.line)), shown(c.args));
        if (*c.line) {
            EXPECT_EQ(shown(CommandLine::arguments(c.line)), shown(systemSplit(c.line)));
        }
    }
}

// Every line of up to eight of the characters the rules turn on, after program names of
// each kind: the launcher's split and the system's agree on all of them.
TEST(CommandLine, AgreesWithTheSystemOnEveryShortLine) {
    const wchar_t alphabet[] = {L'a', L' ', L'"', L'\\', L'\t'};
    const tstring programs[] = {L"p ", L"p", L"\"p q\" ", L"\"p q\"", L"\"p"};
    size_t checked = 0;
    size_t differing = 0;
    for (size_t length = 0; length <= 8; ++length) {
        // Tabs only in the shorter lines: they act as spaces do, and five symbols at eight
        // places would be many more lines than this shows.
        const size_t symbols = length <= 5 ? 5 : 4;
        size_t total = 1;
        for (size_t i = 0; i < length; ++i) {
            total *= symbols;
        }
        for (size_t n = 0; n < total; ++n) {
            tstring rest;
            for (size_t i = 0, k = n; i < length; ++i, k /= symbols) {
                rest.push_back(alphabet[k % symbols]);
            }
            for (const tstring& program : programs) {
                const tstring line = program + rest;
                ++checked;
                const tstring_array ours = CommandLine::arguments(line);
                const tstring_array system = systemSplit(line);
                if (ours != system && ++differing <= 10) {
                    ADD_FAILURE() << "[" << ts::utf8(line) << "]: " << shown(ours)
                                  << " where the system has " << shown(system);
                }
            }
        }
    }
    EXPECT_EQ(differing, 0u) << "of " << checked << " lines";
}

} // namespace

// Reading a feed (UpdateFeed.h): the little JSON the image tool writes.
#include "UpdateFeed.h"

#include <algorithm>
#include <map>
#include <memory>

#include "ErrorHandling.h"

namespace {

// One JSON value: what a feed holds needs no more.
struct Value {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    std::string text;
    std::uint64_t number = 0;
    std::vector<Value> items;
    std::map<std::string, Value> members;

    const Value& member(const std::string& name, Kind expected) const {
        const auto found = members.find(name);
        if (kind != Object || found == members.end() || found->second.kind != expected) {
            throw LauncherError("\"" + name + "\" is missing or of the wrong kind");
        }
        return found->second;
    }
};

class Parser {
public:
    explicit Parser(const std::string& text) : text(text) {}

    Value document() {
        Value value = parse(0);
        blanks();
        if (at != text.size()) {
            fail("text after the value");
        }
        return value;
    }

private:
    [[noreturn]] void fail(const std::string& why) const {
        throw LauncherError(why + " at byte " + std::to_string(at));
    }

    char peek() const {
        if (at >= text.size()) {
            fail("unexpected end");
        }
        return text[at];
    }

    void blanks() {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\r' ||
                                    text[at] == '\n')) {
            ++at;
        }
    }

    void expect(char c) {
        if (peek() != c) {
            fail(std::string("'") + c + "' expected");
        }
        ++at;
    }

    Value parse(int depth) {
        if (depth > 16) {
            fail("nested too deeply");
        }
        blanks();
        Value value;
        const char c = peek();
        if (c == '{') {
            value.kind = Value::Object;
            ++at;
            blanks();
            if (peek() == '}') {
                ++at;
                return value;
            }
            for (;;) {
                blanks();
                const std::string name = string();
                blanks();
                expect(':');
                value.members[name] = parse(depth + 1);
                blanks();
                if (peek() == '}') {
                    ++at;
                    return value;
                }
                expect(',');
            }
        }
        if (c == '[') {
            value.kind = Value::Array;
            ++at;
            blanks();
            if (peek() == ']') {
                ++at;
                return value;
            }
            for (;;) {
                value.items.push_back(parse(depth + 1));
                blanks();
                if (peek() == ']') {
                    ++at;
                    return value;
                }
                expect(',');
            }
        }
        if (c == '"') {
            value.kind = Value::String;
            value.text = string();
            return value;
        }
        for (const char* word : {"true", "false", "null"}) {
            if (text.compare(at, std::char_traits<char>::length(word), word) == 0) {
                at += std::char_traits<char>::length(word);
                value.kind = word[0] == 'n' ? Value::Null : Value::Bool;
                return value;
            }
        }
        if (c < '0' || c > '9') {
            fail("unexpected character");
        }
        value.kind = Value::Number;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            if (value.number > (UINT64_MAX - 9) / 10) {
                fail("number too large");
            }
            value.number = value.number * 10 + static_cast<unsigned>(text[at++] - '0');
        }
        return value;
    }

    // Escapes other than \" and \\ and \uXXXX of the Basic Multilingual Plane are kept as
    // they are written: no path or version the tool writes holds one.
    std::string string() {
        expect('"');
        std::string out;
        for (;;) {
            const char c = peek();
            ++at;
            if (c == '"') {
                return out;
            }
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            const char e = peek();
            ++at;
            if (e == 'u') {
                if (at + 4 > text.size()) {
                    fail("short \\u escape");
                }
                const unsigned code =
                    static_cast<unsigned>(std::stoul(text.substr(at, 4), nullptr, 16));
                at += 4;
                out += tstrings::toUtf8(tstring(1, static_cast<wchar_t>(code)));
            } else {
                const char* const plain = "\"\\/";
                const char* const named = "nrtbf";
                const char* const meant = "\n\r\t\b\f";
                const char* n = std::char_traits<char>::find(named, 5, e);
                const bool kept = std::char_traits<char>::find(plain, 3, e) != nullptr;
                out.push_back(n ? meant[n - named] : (kept ? e : '?'));
            }
        }
    }

    const std::string& text;
    size_t at = 0;
};

bool safeRelativePath(const tstring& path) {
    if (path.empty() || path[0] == L'\\' || path.find(L':') != tstring::npos) {
        return false;
    }
    const tstring wrapped = L"\\" + path + L"\\";
    return wrapped.find(L"\\..\\") == tstring::npos && wrapped.find(L"\\.\\") == tstring::npos &&
           wrapped.find(L"\\\\") == tstring::npos;
}

} // namespace

UpdateFeed UpdateFeed::parse(const std::string& json, const tstring& where) {
    try {
        const Value document = Parser(json).document();
        if (document.member("format", Value::Number).number != 1) {
            throw LauncherError("format is not 1");
        }
        UpdateFeed feed;
        feed.product = tstrings::fromUtf8(document.member("product", Value::String).text);
        feed.version = tstrings::fromUtf8(document.member("version", Value::String).text);
        for (const Value& item : document.member("files", Value::Array).items) {
            UpdateFeedFile file;
            file.path = tstrings::fromUtf8(item.member("path", Value::String).text);
            for (wchar_t& c : file.path) {
                c = c == L'/' ? L'\\' : c;
            }
            file.sha256 = item.member("sha256", Value::String).text;
            file.size = item.member("size", Value::Number).number;
            if (!safeRelativePath(file.path) || file.sha256.size() != 64 ||
                file.sha256.find_first_not_of("0123456789abcdef") != std::string::npos) {
                throw LauncherError("a file it may not name: " + tstrings::toUtf8(file.path));
            }
            feed.files.push_back(file);
        }
        compareVersions(feed.version, feed.version);
        return feed;
    } catch (const std::exception& e) {
        THROW_ERROR(LauncherError((tstrings::Builder() << where << L" is not a feed: "
                                                            << tstrings::fromUtf8(e.what()))
                                           .str()));
    }
}

int compareVersions(const tstring& a, const tstring& b) {
    const auto numbers = [](const tstring& version) {
        std::vector<std::uint64_t> parts(1, 0);
        size_t digits = 0;
        for (const wchar_t c : version) {
            if (c == L'.' && digits > 0) {
                parts.push_back(0);
                digits = 0;
            } else if (c >= L'0' && c <= L'9' && digits < 9) {
                parts.back() = parts.back() * 10 + static_cast<unsigned>(c - L'0');
                ++digits;
            } else {
                throw LauncherError("version " + tstrings::toUtf8(version) +
                                         " is not numbers and dots");
            }
        }
        if (digits == 0) {
            throw LauncherError("version " + tstrings::toUtf8(version) +
                                     " is not numbers and dots");
        }
        return parts;
    };
    std::vector<std::uint64_t> x = numbers(a);
    std::vector<std::uint64_t> y = numbers(b);
    x.resize(std::max(x.size(), y.size()), 0);
    y.resize(x.size(), 0);
    return x < y ? -1 : (y < x ? 1 : 0);
}

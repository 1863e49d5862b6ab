// Source positions: qualified function names as trace records and errors show them.
#include "SourcePosition.h"

#include <map>
#include <memory>

#include "Lock.h"

namespace {

bool isOpening(char c) {
    return c == '(' || c == '<' || c == '[' || c == '{';
}
bool isClosing(char c) {
    return c == ')' || c == '>' || c == ']' || c == '}';
}

// Index of the bracket that opens the group closed at `close`, or npos.
size_t matchingOpen(const std::string& text, size_t close) {
    int depth = 0;
    for (size_t i = close + 1; i-- > 0;) {
        if (isClosing(text[i])) {
            ++depth;
        } else if (isOpening(text[i]) && --depth == 0) {
            return i;
        }
    }
    return std::string::npos;
}

// Traces and errors read the same whichever compiler built the launcher: clang spells an
// anonymous namespace "(anonymous namespace)", GCC "{anonymous}", which the texts use.
std::string sameSpellingForEveryCompiler(std::string name) {
    static const std::string clangSpelling = "(anonymous namespace)";
    for (size_t at = name.find(clangSpelling); at != std::string::npos;
         at = name.find(clangSpelling, at)) {
        name.replace(at, clangSpelling.size(), "{anonymous}");
    }
    return name;
}

} // namespace

std::string qualifiedFunctionName(const std::string& signature) {
    std::string text = signature;
    // Template functions: "void f() [with T = int]".
    const size_t with = text.rfind(" [with ");
    if (with != std::string::npos && !text.empty() && text.back() == ']') {
        text.erase(with);
    }
    const size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return text; // Already a bare name (MSVC's __FUNCTION__).
    }
    const size_t open = matchingOpen(text, close);
    if (open == std::string::npos || open == 0) {
        return text;
    }
    // Walk back over the name up to the return type. Blanks inside brackets
    // ("{anonymous}", "<lambda()>", template arguments) belong to the name.
    const size_t end = open;
    size_t start = end;
    while (start > 0) {
        const char c = text[start - 1];
        if (isClosing(c)) {
            const size_t groupOpen = matchingOpen(text, start - 1);
            if (groupOpen == std::string::npos) {
                break;
            }
            start = groupOpen;
            continue;
        }
        if (c == ' ' || c == '*' || c == '&') {
            break;
        }
        --start;
    }
    return sameSpellingForEveryCompiler(text.substr(start, end - start));
}

const QualifiedFunctionName& functionNameOf(const char* signature) {
    static Lock lock;
    static std::map<const char*, std::unique_ptr<QualifiedFunctionName>> cache;
    const Lock::Scope guard(lock);
    std::unique_ptr<QualifiedFunctionName>& entry = cache[signature];
    if (!entry) {
        entry.reset(new QualifiedFunctionName());
        entry->narrow = qualifiedFunctionName(signature);
        for (unsigned char c : entry->narrow) {
            // Compiler spellings of identifiers are ASCII.
            entry->wide.push_back(static_cast<wchar_t>(c));
        }
    }
    return *entry;
}

// Command-line splitting (CommandLine.h). Done here rather than by CommandLineToArgvW: its
// library, shell32, is a large one to load at every start for a single function.
#include "CommandLine.h"

namespace {

bool isBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

// Where the first argument may begin: past the program name.
size_t endOfProgramName(const tstring& line) {
    if (!line.empty() && line[0] == L'"') {
        const size_t closing = line.find(L'"', 1);
        return closing == tstring::npos ? line.size() : closing + 1;
    }
    size_t end = 0;
    while (end < line.size() && !isBlank(line[end])) {
        ++end;
    }
    return end;
}

// One argument being read: its text, whether anything of it has been seen (an empty pair of
// quotes is an argument), how many quotes are open (0 or 1 between characters) and the run
// of backslashes that ends it.
class Argument {
public:
    bool started() const { return seen; }
    bool quoted() const { return quotes != 0; }

    void add(wchar_t c) {
        seen = true;
        text.push_back(c);
        backslashes = c == L'\\' ? backslashes + 1 : 0;
    }

    // A double quote, and how many more follow it at once.
    void addQuotes(size_t count) {
        seen = true;
        if (backslashes % 2 == 0) {
            text.erase(text.size() - backslashes / 2);
            ++quotes;
        } else {
            text.erase(text.size() - (backslashes + 1) / 2);
            text.push_back(L'"');
        }
        backslashes = 0;
        // Inside a quoted part, a quote right after the closing one is a literal quote and
        // the part goes on; three in a row make one literal quote and close it.
        for (size_t i = 1; i < count; ++i) {
            if (++quotes == 3) {
                text.push_back(L'"');
                quotes = 0;
            }
        }
        if (quotes == 2) {
            quotes = 0;
        }
    }

    tstring take() {
        tstring result;
        result.swap(text);
        seen = false;
        backslashes = 0;
        return result;
    }

private:
    tstring text;
    bool seen = false;
    unsigned quotes = 0;
    size_t backslashes = 0;
};

} // namespace

tstring_array CommandLine::arguments(const tstring& commandLine) {
    tstring_array result;
    Argument argument;
    size_t i = endOfProgramName(commandLine);
    while (i < commandLine.size()) {
        const wchar_t c = commandLine[i];
        if (isBlank(c) && !argument.quoted()) {
            if (argument.started()) {
                result.push_back(argument.take());
            }
            ++i;
        } else if (c == L'"') {
            const size_t end = commandLine.find_first_not_of(L'"', i);
            const size_t count = (end == tstring::npos ? commandLine.size() : end) - i;
            argument.addQuotes(count);
            i += count;
        } else {
            argument.add(c);
            ++i;
        }
    }
    if (argument.started()) {
        result.push_back(argument.take());
    }
    return result;
}

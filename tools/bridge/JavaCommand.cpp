// The host's `java` command line from the launcher's JVM arguments, every path a Unix path.
#include "JavaCommand.h"

#include <algorithm>
#include <iterator>

namespace bridge {

namespace {

enum class Value { Path, PathList, AgentJar };

struct PathOption {
    const wchar_t* name;
    Value value;
};

// Options whose value is the next argument.
const PathOption separateValues[] = {
    {L"-classpath", Value::PathList},
    {L"-cp", Value::PathList},
    {L"--class-path", Value::PathList},
    {L"--module-path", Value::PathList},
    {L"-p", Value::PathList},
    {L"--upgrade-module-path", Value::PathList},
    {L"-jar", Value::Path},
};

// Options that carry their value after a prefix. The runtime on Windows separates the base
// and the dynamic archive of SharedArchiveFile with ";", like a class path.
const PathOption joinedValues[] = {
    {L"-splash:", Value::Path},
    {L"-XX:SharedArchiveFile=", Value::PathList},
    {L"-XX:ArchiveClassesAtExit=", Value::Path},
    {L"-XX:SharedClassListFile=", Value::Path},
    {L"-XX:DumpLoadedClassList=", Value::Path},
    {L"-Xbootclasspath/a:", Value::PathList},
    {L"-javaagent:", Value::AgentJar},
};

// Every option of the java command that takes the next argument as its value.
const std::wstring optionsWithValues[] = {
    L"-classpath",
    L"-cp",
    L"--class-path",
    L"--module-path",
    L"-p",
    L"--upgrade-module-path",
    L"--add-modules",
    L"--limit-modules",
    L"--add-reads",
    L"--add-exports",
    L"--add-opens",
    L"--patch-module",
    L"--enable-native-access",
    L"--describe-module",
    L"-d",
    L"--source",
    L"-jar",
    L"-m",
    L"--module",
};

bool startsWith(const std::wstring& text, const std::wstring& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::wstring unquoted(const std::wstring& text) {
    if (text.size() >= 2 && text.front() == L'"' && text.back() == L'"') {
        return text.substr(1, text.size() - 2);
    }
    return text;
}

std::string valueWord(const UnixPaths& paths, const std::wstring& value, Value kind) {
    switch (kind) {
    case Value::PathList:
        return paths.shellPathList(value);
    case Value::AgentJar: {
        // -javaagent:<jar>[=<options>]: only the jar is a path.
        const size_t options = value.find(L'=');
        if (options == std::wstring::npos) {
            return paths.shellPath(value);
        }
        return paths.shellPath(value.substr(0, options)) +
               shellQuote(toUtf8(value.substr(options)));
    }
    case Value::Path:
        break;
    }
    return paths.shellPath(value);
}

} // namespace

std::vector<std::wstring> xlogParts(const std::wstring& text) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    size_t pos = 0;
    while (parts.size() < 3) {
        pos = text.find_first_of(L":\"", pos);
        const bool driveColon = pos != std::wstring::npos && text[pos] == L':' &&
                                pos + 1 < text.size() && text[pos + 1] == L'\\' &&
                                (pos == start + 1 || text.compare(start, 5, L"file=") == 0);
        if (driveColon) {
            pos = text.find_first_of(L":\"", pos + 1);
        }
        while (pos != std::wstring::npos && text[pos] == L'"') {
            const size_t endQuote = text.find(L'"', pos + 1);
            pos = endQuote == std::wstring::npos ? endQuote
                                                 : text.find_first_of(L":\"", endQuote + 1);
        }
        if (pos == std::wstring::npos) {
            break;
        }
        parts.push_back(text.substr(start, pos - start));
        start = pos = pos + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}

// -Xlog:<selections>:<output>:<decorators>:<output options>. The output is standard
// output or error, "#<n>" for one already named, or a file, with or without "file=".
std::string JavaCommand::xlogWord(const std::wstring& text) const {
    const std::vector<std::wstring> parts = xlogParts(text);
    if (parts.size() < 2) {
        return shellQuote(toUtf8(L"-Xlog:" + text));
    }
    const std::wstring& output = parts[1];
    if (output.empty() || output == L"stdout" || output == L"stderr" || output[0] == L'#') {
        return shellQuote(toUtf8(L"-Xlog:" + text));
    }
    const std::wstring file = unquoted(startsWith(output, L"file=") ? output.substr(5) : output);
    std::wstring rest;
    for (size_t i = 2; i < parts.size(); ++i) {
        rest += L":" + parts[i];
    }
    return shellQuote(toUtf8(L"-Xlog:" + parts[0] + L":file=")) + paths.shellPath(file) +
           (rest.empty() ? std::string() : shellQuote(toUtf8(rest)));
}

std::string JavaCommand::word(const std::wstring& arg, const std::wstring& previous) const {
    for (const PathOption& option : separateValues) {
        if (previous == option.name) {
            return valueWord(paths, arg, option.value);
        }
    }
    for (const PathOption& option : joinedValues) {
        if (startsWith(arg, option.name)) {
            const std::wstring name = option.name;
            return shellQuote(toUtf8(name)) +
                   valueWord(paths, arg.substr(name.size()), option.value);
        }
    }
    if (startsWith(arg, L"-Xlog:")) {
        return xlogWord(arg.substr(6));
    }
    return shellQuote(toUtf8(arg));
}

// The runtime's options end with the main class, the jar after -jar or the module after
// -m; what follows belongs to the application and reaches it untouched.
std::string JavaCommand::words(const std::vector<std::wstring>& args) const {
    std::string command;
    std::wstring previous;
    bool applicationArgs = false;
    for (const std::wstring& arg : args) {
        if (applicationArgs) {
            command += " " + shellQuote(toUtf8(arg));
            continue;
        }
        command += " " + word(arg, previous);
        const bool takesValue =
            std::find(std::begin(optionsWithValues), std::end(optionsWithValues), previous) !=
            std::end(optionsWithValues);
        applicationArgs = previous == L"-jar" || previous == L"-m" || previous == L"--module" ||
                          (!takesValue && !arg.empty() && arg[0] != L'-');
        previous = arg;
    }
    return command;
}

} // namespace bridge

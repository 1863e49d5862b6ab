// The host's `java` command line from the launcher's JVM arguments, every path a Unix path.
#ifndef CORVELA_BRIDGE_JAVACOMMAND_H
#define CORVELA_BRIDGE_JAVACOMMAND_H

#include <string>
#include <vector>

#include "UnixPaths.h"

namespace bridge {

class JavaCommand {
public:
    explicit JavaCommand(const UnixPaths& paths) : paths(paths) {}

    // The arguments after the launcher's own path, as shell words each led by a blank.
    std::string words(const std::vector<std::wstring>& args) const;

    // One argument as a shell word; `previous` is the argument before it.
    std::string word(const std::wstring& arg, const std::wstring& previous) const;

private:
    std::string xlogWord(const std::wstring& selections) const;

    const UnixPaths& paths;
};

// The parts of "-Xlog:" option text as the runtime on Windows splits them at ":": neither a
// drive's colon ("C:\", "file=C:\") nor quoted text splits.
std::vector<std::wstring> xlogParts(const std::wstring& text);

} // namespace bridge

#endif

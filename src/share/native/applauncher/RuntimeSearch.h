// Installed runtime search: Java versions, the range an application accepts, the pick.
#ifndef CORVELA_RUNTIMESEARCH_H
#define CORVELA_RUNTIMESEARCH_H

#include <vector>

#include "tstrings.h"

class CfgFile;

namespace RuntimeSearch {

// A Java version as its numbers: "17.0.9" is 17, 0, 9; the old "1.8.0_392" is 8, 0, 392.
class JavaVersion {
public:
    // False when `text` is not a version. With `lenient`, a "+build" or "-ea" suffix (as a
    // release file's JAVA_VERSION may carry) is read past.
    static bool parse(const tstring& text, JavaVersion& version, bool lenient = false);

    // Numbers compared in order, a missing one counting as 0: 17 equals 17.0.0.
    int compare(const JavaVersion& other) const;
    // Whether the first numbers equal `family`'s, or are below them: 21.0.3 is within 21.
    bool atMostWithin(const JavaVersion& family) const;
    int feature() const { return numbers.empty() ? 0 : numbers.front(); }
    const tstring& text() const { return theText; }

private:
    std::vector<int> numbers;
    tstring theText;
};

// The versions an application accepts, and where to get one, from its configuration.
class VersionRange {
public:
    // Raises an error naming the key and its value for a version that is not one, a maximum
    // below the minimum, an address that is not http(s), or a missing minimum.
    static VersionRange of(const CfgFile& cfg);

    bool admits(const JavaVersion& version) const;
    // "Java 17 or later", "Java 17 to 21".
    tstring describe() const;
    // Empty when the configuration names none.
    const tstring& downloadUrl() const { return theDownloadUrl; }

private:
    JavaVersion min;
    bool hasMax = false;
    JavaVersion max;
    tstring theDownloadUrl;
};

// Whether this launch looks for an installed runtime: the image has none of its own (no
// "app.runtime", no runtime directory) and its configuration names what it needs.
bool applies(const CfgFile& cfg, const tstring& defaultRuntimeDir);

// The version a runtime's `release` file names; false when it names none that reads.
bool versionOfRuntime(const tstring& homeDir, JavaVersion& version);

// One place a runtime was found, and where it was found.
struct Candidate {
    enum class Source { JavaHome, Registered, Path };
    Source source;
    tstring homeDir;
    // Where it was found, for the trace: "JAVA_HOME", a registry key, "java.exe on PATH".
    tstring origin;
};

// Takes the candidates in the order they were found and picks one: JAVA_HOME when it fits,
// otherwise the newest that fits, the first found among equals. Every verdict is traced.
class Pick {
public:
    explicit Pick(const VersionRange& range) : range(range) {}

    // `problem` says why the candidate cannot run here, empty when nothing stands against it;
    // `version` counts only then. Returns whether the search is over (a JAVA_HOME that fits).
    bool consider(const Candidate& candidate, const tstring& problem, const JavaVersion& version);

    bool found() const { return haveChoice; }
    const Candidate& chosen() const { return choice; }

private:
    const VersionRange& range;
    bool haveChoice = false;
    Candidate choice;
    JavaVersion choiceVersion;
    tstring_array seenHomes;
};

// The error text when nothing fits: what the application needs, where the launcher looked,
// and where to download a runtime.
tstring notFoundMessage(const tstring& appName, const VersionRange& range);

// Platform half: the home directory of the installed runtime that fits `range` (JAVA_HOME,
// the runtimes the vendors' installers registered, java.exe on the search path); raises
// the not-found error otherwise.
tstring findInstalled(const VersionRange& range, const tstring& appName);

} // namespace RuntimeSearch

#endif

// Installed runtime search: versions, the accepted range, the pick and the not-found text.
#include "RuntimeSearch.h"

#include <algorithm>

#include "CfgFile.h"
#include "ClassData.h"
#include "ErrorHandling.h"
#include "FileUtils.h"
#include "Log.h"
#include "TextFile.h"

namespace RuntimeSearch {

namespace {

bool isDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// The number at `pos`, moving `pos` past it; false when there is none or it is absurdly long.
bool numberAt(const tstring& text, size_t& pos, int& value) {
    const size_t start = pos;
    value = 0;
    while (pos < text.size() && isDigit(text[pos])) {
        if (pos - start == 6) {
            return false;
        }
        value = value * 10 + (text[pos] - L'0');
        ++pos;
    }
    return pos != start;
}

[[noreturn]] void badValue(const PropertyKey& key, const tstring& value, const tstring& why) {
    THROW_ERROR(LauncherError((tstrings::Builder()
                                    << L"Invalid value of [" << SectionName::Application.name()
                                    << L"] " << key.name() << L": \"" << value << L"\" " << why)
                                       .str()));
}

JavaVersion versionProperty(const CfgFile& cfg, const PropertyKey& key, bool& given) {
    JavaVersion version;
    tstring value;
    given = cfg.findValue(key, value);
    if (given && !JavaVersion::parse(value, version)) {
        badValue(key, value, L"is not a Java version (such as 17, 17.0.5 or 1.8.0_392)");
    }
    return version;
}

bool startsWithNoCase(const tstring& text, const tstring& prefix) {
    return text.size() > prefix.size() &&
           tstrings::toLower(text.substr(0, prefix.size())) == prefix;
}

} // namespace

bool JavaVersion::parse(const tstring& text, JavaVersion& version, bool lenient) {
    JavaVersion parsed;
    size_t pos = 0;
    int number = 0;
    while (true) {
        if (!numberAt(text, pos, number) || parsed.numbers.size() == 6) {
            return false;
        }
        parsed.numbers.push_back(number);
        if (pos == text.size() || text[pos] != L'.') {
            break;
        }
        ++pos;
    }
    // Up to 8 the version was "1.<feature>.0_<update>".
    if (parsed.numbers.size() >= 2 && parsed.numbers.front() == 1) {
        parsed.numbers.erase(parsed.numbers.begin());
        if (pos < text.size() && text[pos] == L'_') {
            ++pos;
            if (!numberAt(text, pos, number)) {
                return false;
            }
            parsed.numbers.resize(2);
            parsed.numbers.push_back(number);
        }
    }
    if (pos < text.size() && !(lenient && (text[pos] == L'+' || text[pos] == L'-'))) {
        return false;
    }
    if (parsed.feature() == 0) {
        return false;
    }
    parsed.theText = text;
    version = parsed;
    return true;
}

int JavaVersion::compare(const JavaVersion& other) const {
    const size_t n = std::max(numbers.size(), other.numbers.size());
    for (size_t i = 0; i < n; ++i) {
        const int mine = i < numbers.size() ? numbers[i] : 0;
        const int theirs = i < other.numbers.size() ? other.numbers[i] : 0;
        if (mine != theirs) {
            return mine < theirs ? -1 : 1;
        }
    }
    return 0;
}

bool JavaVersion::atMostWithin(const JavaVersion& family) const {
    for (size_t i = 0; i < family.numbers.size(); ++i) {
        const int mine = i < numbers.size() ? numbers[i] : 0;
        if (mine != family.numbers[i]) {
            return mine < family.numbers[i];
        }
    }
    return true;
}

VersionRange VersionRange::of(const CfgFile& cfg) {
    VersionRange range;
    bool minGiven = false;
    range.min = versionProperty(cfg, PropertyName::runtimeMinVersion, minGiven);
    if (!minGiven) {
        THROW_ERROR(LauncherError(
            (tstrings::Builder() << L"[" << SectionName::Application.name() << L"] "
                                 << PropertyName::runtimeMinVersion.name()
                                 << L" is missing: an image without a runtime of its own must "
                                    L"name the oldest Java it runs on")
                .str()));
    }
    range.max = versionProperty(cfg, PropertyName::runtimeMaxVersion, range.hasMax);
    if (range.hasMax && !range.min.atMostWithin(range.max)) {
        badValue(PropertyName::runtimeMaxVersion, range.max.text(),
                 (tstrings::Builder() << L"is below " << PropertyName::runtimeMinVersion.name()
                                      << L" \"" << range.min.text() << L"\"")
                     .tstr());
    }
    if (cfg.findValue(PropertyName::runtimeDownloadUrl, range.theDownloadUrl) &&
        !startsWithNoCase(range.theDownloadUrl, L"https://") &&
        !startsWithNoCase(range.theDownloadUrl, L"http://")) {
        badValue(PropertyName::runtimeDownloadUrl, range.theDownloadUrl,
                 L"is not an http:// or https:// address");
    }
    return range;
}

bool VersionRange::admits(const JavaVersion& version) const {
    return version.compare(min) >= 0 && (!hasMax || version.atMostWithin(max));
}

tstring VersionRange::describe() const {
    tstrings::Builder text;
    text << L"Java " << min.text();
    if (hasMax) {
        text << L" to " << max.text();
    } else {
        text << L" or later";
    }
    return text.tstr();
}

bool applies(const CfgFile& cfg, const tstring& defaultRuntimeDir) {
    tstring value;
    if (cfg.findValue(PropertyName::runtime, value) ||
        FileUtils::fileExists(defaultRuntimeDir)) {
        return false;
    }
    return cfg.findValue(PropertyName::runtimeMinVersion, value) ||
           cfg.findValue(PropertyName::runtimeMaxVersion, value) ||
           cfg.findValue(PropertyName::runtimeDownloadUrl, value);
}

bool versionOfRuntime(const tstring& homeDir, JavaVersion& version) {
    TextFile release(FileUtils::mkpath() << homeDir << L"release");
    std::string text;
    std::string line;
    while (release.isOpen() && text.size() < 65536 && release.nextLine(line)) {
        text += line + "\n";
    }
    const std::string value = ClassData::javaVersionValue(text);
    return !value.empty() && JavaVersion::parse(tstrings::fromUtf8(value), version, true);
}

bool Pick::consider(const Candidate& candidate, const tstring& problem,
                    const JavaVersion& version) {
    const tstring where =
        (tstrings::Builder() << candidate.origin << L" \"" << candidate.homeDir << L"\"").tstr();
    const tstring home = tstrings::toLower(FileUtils::stripTrailingSeparators(candidate.homeDir));
    for (const tstring& seen : seenHomes) {
        if (seen == home) {
            LOG_TRACE(L"Installed runtime " << where << L" skipped: seen already");
            return false;
        }
    }
    seenHomes.push_back(home);
    if (!problem.empty()) {
        LOG_TRACE(L"Installed runtime " << where << L" skipped: " << problem);
        return false;
    }
    if (!range.admits(version)) {
        LOG_TRACE(L"Installed runtime " << where << L" skipped: Java " << version.text()
                                        << L" is outside " << range.describe());
        return false;
    }
    const bool javaHome = candidate.source == Candidate::Source::JavaHome;
    if (haveChoice && version.compare(choiceVersion) <= 0) {
        LOG_TRACE(L"Installed runtime " << where << L" fits (Java " << version.text()
                                        << L") but is not newer than Java "
                                        << choiceVersion.text());
        return false;
    }
    LOG_TRACE(L"Installed runtime " << where << L" fits: Java " << version.text()
                                    << (javaHome ? L", taken" : L", the newest so far"));
    haveChoice = true;
    choice = candidate;
    choiceVersion = version;
    return javaHome;
}

tstring notFoundMessage(const tstring& appName, const VersionRange& range) {
    tstrings::Builder text;
    text << appName << L" needs " << range.describe()
         << L" (64-bit); none was found. Looked in JAVA_HOME, the runtimes registered in HKCU "
            L"and HKLM (JavaSoft, Eclipse Adoptium, Eclipse Foundation, AdoptOpenJDK, "
            L"Microsoft, Semeru, Azul Zulu, BellSoft Liberica) and java.exe on PATH.";
    if (!range.downloadUrl().empty()) {
        text << L" Download Java from " << range.downloadUrl();
    }
    return text.tstr();
}

} // namespace RuntimeSearch

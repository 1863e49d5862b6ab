// Class-data archive: the runtime's version, the options by version, the fingerprint.
#include "ClassData.h"

#include <cstring>

namespace ClassData {

namespace {

// What the launcher adds to every start with an archive: a missing, foreign, truncated or
// damaged archive must cost only its benefit, never the start, and never a line in the
// application's output.
void addCommonOptions(tstring_array& options) {
    options.push_back(L"-Xshare:auto");
    options.push_back(L"-Xlog:cds=off,cds+dynamic=off");
}

// The number at `pos`, moving `pos` past it; -1 when there is none or it is absurd.
int numberAt(const std::string& text, size_t& pos) {
    int value = 0;
    const size_t start = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 6) {
        value = value * 10 + (text[pos] - '0');
        ++pos;
    }
    return pos == start || (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ? -1 : value;
}

const std::uint64_t fingerprintPrime = 0x100000001b3ull;

} // namespace

std::string javaVersionValue(const std::string& text) {
    const std::string name = "JAVA_VERSION=";
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (text.compare(start, name.size(), name) == 0) {
            std::string value = text.substr(start + name.size(), end - start - name.size());
            while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) {
                value.pop_back();
            }
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
                value = value.substr(1, value.size() - 2);
            }
            return value;
        }
        start = end + 1;
    }
    return std::string();
}

int featureVersion(const std::string& releaseText) {
    const std::string version = javaVersionValue(releaseText);
    size_t pos = 0;
    int feature = numberAt(version, pos);
    // Up to 8 the version was "1.<feature>".
    if (feature == 1 && pos < version.size() && version[pos] == '.') {
        ++pos;
        feature = numberAt(version, pos);
    }
    return feature > 0 ? feature : 0;
}

tstring_array mapOptions(int version, const tstring& archive) {
    tstring_array options;
    addCommonOptions(options);
    if (version >= 19) {
        // The runtime checks the archive against itself and the class path on every start
        // and writes a new one at exit when it finds it stale.
        options.push_back(L"-XX:+AutoCreateSharedArchive");
    }
    options.push_back(L"-XX:SharedArchiveFile=" + archive);
    return options;
}

tstring_array makeOptions(int version, const tstring& target) {
    tstring_array options;
    addCommonOptions(options);
    if (version >= 19) {
        options.push_back(L"-XX:+AutoCreateSharedArchive");
        options.push_back(L"-XX:SharedArchiveFile=" + target);
    } else {
        options.push_back(L"-XX:ArchiveClassesAtExit=" + target);
    }
    return options;
}

bool makesItsOwnChoice(const tstring& option) {
    // Archive choices of their own, and settings under which the runtime cannot load its
    // base archive: a runtime asked to write an archive on top of none refuses to start.
    static const wchar_t* const prefixes[] = {
        L"-Xshare:",
        L"-XX:SharedArchiveFile=",
        L"-XX:ArchiveClassesAtExit=",
        L"-XX:+AutoCreateSharedArchive",
        L"-XX:-AutoCreateSharedArchive",
        L"-XX:+UseSharedSpaces",
        L"-XX:-UseSharedSpaces",
        L"-XX:SharedClassListFile=",
        L"-XX:DumpLoadedClassList=",
        L"-XX:SharedBaseAddress=",
        L"-XX:-UseCompressedClassPointers",
        L"-XX:+RecordDynamicDumpInfo",
        L"-XX:AOTCache=",
        L"-XX:AOTMode=",
        L"-XX:VMOptionsFile=",
        L"-XX:Flags=",
    };
    for (const wchar_t* prefix : prefixes) {
        if (tstrings::startsWith(option, prefix)) {
            return true;
        }
    }
    return false;
}

bool loadsAnAgent(const tstring& option) {
    return tstrings::startsWith(option, L"-javaagent:") ||
           tstrings::startsWith(option, L"-agentlib:") ||
           tstrings::startsWith(option, L"-agentpath:");
}

Fingerprint& Fingerprint::add(const void* bytes, size_t size) {
    // Eight bytes a step: the archive's bytes pass through here on every start that maps
    // it. Each step is a bijection of the state, so changing any one word changes the
    // result; the length, mixed in at the end, tells apart inputs that differ in it.
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    size_t n = size;
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        state = (state ^ word) * fingerprintPrime;
    }
    if (n > 0) {
        std::uint64_t word = 0;
        std::memcpy(&word, p, n);
        state = (state ^ word ^ (static_cast<std::uint64_t>(n) << 56)) * fingerprintPrime;
    }
    length += size;
    return *this;
}

Fingerprint& Fingerprint::add(const tstring& text) {
    // Lengths first, so that "ab" + "c" and "a" + "bc" differ.
    add(static_cast<std::uint64_t>(text.size()));
    return add(text.data(), text.size() * sizeof(wchar_t));
}

Fingerprint& Fingerprint::add(std::uint64_t value) {
    return add(&value, sizeof(value));
}

std::uint64_t Fingerprint::value() const {
    std::uint64_t h = (state ^ length) * fingerprintPrime;
    h ^= h >> 29;
    h *= 0xbf58476d1ce4e5b9ull;
    return h ^ (h >> 32);
}

tstring Fingerprint::hex() const {
    static const wchar_t digits[] = L"0123456789abcdef";
    const std::uint64_t v = value();
    tstring text(16, L'0');
    for (int i = 0; i < 16; ++i) {
        text[15 - i] = digits[(v >> (4 * i)) & 15];
    }
    return text;
}

} // namespace ClassData

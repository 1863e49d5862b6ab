// Launcher configuration file: the reader, the section and property keys, path macros.
#include "CfgFile.h"

#include "ErrorHandling.h"
#include "Log.h"
#include "SysInfo.h"
#include "TextFile.h"

#define CORVELA_CFG_DEFINE_SECTION(constant, name) const SectionKey constant(name);
#define CORVELA_CFG_DEFINE_PROPERTY(constant, name) const PropertyKey constant(name);
namespace SectionName {
CORVELA_CFG_SECTIONS(CORVELA_CFG_DEFINE_SECTION)
} // namespace SectionName
namespace PropertyName {
CORVELA_CFG_PROPERTIES(CORVELA_CFG_DEFINE_PROPERTY)
} // namespace PropertyName

namespace {

// Stands for "no current section" while parsing; never stored.
const SectionKey noSection(L"");

// Splits a property line at the first '=' that no backslash stands before.
void splitPropertyLine(const tstring& line, tstring& key, tstring& value) {
    size_t pos = 0;
    while ((pos = line.find(L'=', pos)) != tstring::npos) {
        if (pos == 0 || line[pos - 1] != L'\\') {
            key = line.substr(0, pos);
            value = line.substr(pos + 1);
            return;
        }
        ++pos;
    }
    key = line;
    value.clear();
}

class Parser {
public:
    explicit Parser(const tstring& path) : path(path) {}

    void parseLine(const std::string& bytes) {
        ++lineNumber;
        const tstring line = tstrings::fromUtf8(bytes);
        if (line.empty() || line[0] == L';') {
            return;
        }
        if (line[0] == L'[') {
            const size_t close = line.rfind(L']');
            if (close == 0 || close == tstring::npos) {
                THROW_ERROR(LauncherError((tstrings::Builder()
                                                << L"Error parsing [" << path << L"] file at "
                                                << lineNumber << L": Missing ']' character")
                                                   .str()));
            }
            storeOccurrence();
            SectionKey key = noSection;
            currentSection = CfgFile::findSection(line.substr(1, close - 1), key) ? key : noSection;
            return;
        }
        if (currentSection == noSection) {
            return;
        }
        tstring keyText;
        tstring value;
        splitPropertyLine(line, keyText, value);
        PropertyKey key(L"");
        if (CfgFile::findProperty(keyText, key)) {
            occurrence[key].push_back(value);
        }
    }

    // A later occurrence of a section replaces an earlier one, but only if it
    // collected something.
    void storeOccurrence() {
        if (currentSection == noSection || occurrence.empty()) {
            return;
        }
        sections[currentSection].swap(occurrence);
        occurrence.clear();
        currentSection = noSection;
    }

    CfgFile::SectionMap sections;

private:
    const tstring& path;
    SectionKey currentSection = noSection;
    PropertyMap occurrence;
    int lineNumber = 0;
};

// Passes beyond which a value is taken to be caught in a macro cycle, and the size
// beyond which it is taken to grow without end. Without a cycle no value needs more than
// one pass more than there are macros, so both bounds are far from real values.
const int maxExpansionPasses = 100;
const size_t maxExpandedLength = 1 << 20;

template <class Key> bool findKey(const std::vector<Key>& table, const tstring& name, Key& key) {
    for (const Key& candidate : table) {
        if (name == candidate.name()) {
            key = candidate;
            return true;
        }
    }
    return false;
}

// The length `text` would have with every occurrence of `search` replaced, found without
// building it.
size_t replacedLength(const tstring& text, const tstring& search, const tstring& replacement) {
    size_t length = text.size();
    if (search.empty()) {
        return length;
    }
    for (size_t pos = text.find(search); pos != tstring::npos;
         pos = text.find(search, pos + search.size())) {
        length = length - search.size() + replacement.size();
    }
    return length;
}

// One pass of every macro over `text` into `result`. False, with `result` undefined, when
// the pass would grow the text by more than maxExpandedLength: a value full of macro
// names must not take all memory before the bound between passes is ever checked.
bool applyMacros(const tstring& text, const MacroMap& macros, tstring& result) {
    result = text;
    for (const auto& macro : macros) {
        if (replacedLength(result, macro.first, macro.second) > text.size() + maxExpandedLength) {
            return false;
        }
        result = tstrings::replace(result, macro.first, macro.second);
    }
    return true;
}

} // namespace

tstring lastValue(const tstring_array& entry) {
    return entry.back();
}

tstring joinedValues(const tstring_array& entry) {
    return tstrings::join(entry, L';');
}

#define CORVELA_CFG_SECTION_ENTRY(constant, name) SectionName::constant,
#define CORVELA_CFG_PROPERTY_ENTRY(constant, name) PropertyName::constant,

const std::vector<SectionKey>& CfgFile::allSections() {
    static const std::vector<SectionKey> all = {CORVELA_CFG_SECTIONS(CORVELA_CFG_SECTION_ENTRY)};
    return all;
}

const std::vector<PropertyKey>& CfgFile::allProperties() {
    static const std::vector<PropertyKey> all = {
        CORVELA_CFG_PROPERTIES(CORVELA_CFG_PROPERTY_ENTRY)};
    return all;
}

bool CfgFile::findSection(const tstring& name, SectionKey& key) {
    return findKey(allSections(), name, key);
}

bool CfgFile::findProperty(const tstring& name, PropertyKey& key) {
    return findKey(allProperties(), name, key);
}

CfgFile CfgFile::load(const tstring& path) {
    TextFile file(path);
    if (!file.isOpen()) {
        THROW_ERROR(LauncherError(fileOpenError(path)));
    }

    Parser parser(path);
    std::string line;
    while (file.nextLine(line)) {
        parser.parseLine(line);
    }
    if (file.failed()) {
        THROW_ERROR(LauncherError(fileReadError(path)));
    }
    parser.storeOccurrence();

    CfgFile result;
    result.data.swap(parser.sections);
    return result;
}

tstring expandMacros(const tstring& value, const MacroMap& macros) {
    tstring firstPass;
    if (!applyMacros(value, macros, firstPass)) {
        // Not even one pass fits: every name in the value is taken literally.
        return value;
    }
    tstring current = firstPass;
    tstring previous = value;
    for (int pass = 1; current != previous; ++pass) {
        previous.swap(current);
        if (pass >= maxExpansionPasses || previous.size() > maxExpandedLength ||
            !applyMacros(previous, macros, current)) {
            // The passes never settle: a macro's value holds, directly or through other
            // macros, its own name (a directory called "$APPDIR", say). The names in such a
            // value are taken literally, which is what one pass gives.
            return firstPass;
        }
    }
    return current;
}

tstring expandEnvironment(const tstring& value) {
    if (value.find(L'%') == tstring::npos) {
        return value;
    }
    tstring result;
    size_t pos = 0;
    for (size_t open = value.find(L'%'); open != tstring::npos; open = value.find(L'%', pos)) {
        result.append(value, pos, open - pos);
        if (open + 1 < value.size() && value[open + 1] == L'%') {
            result += L'%';
            pos = open + 2;
            continue;
        }
        const size_t close = value.find(L'%', open + 1);
        if (close == tstring::npos) {
            pos = open;
            break;
        }
        const tstring name = value.substr(open + 1, close - open - 1);
        tstring found;
        // No variable's name holds '=': such a reference is text with two '%' in it.
        if (name.find(L'=') == tstring::npos && SysInfo::findEnvVariable(name, found)) {
            result += found;
            pos = close + 1;
        } else {
            LOG_TRACE(L"Environment variable \"" << name << L"\" is not set: \"%" << name
                                                 << L"%\" stays as written");
            // The closing '%' may open the next reference, as in "100% of %TEMP%".
            result += L'%';
            result += name;
            pos = close;
        }
    }
    result.append(value, pos, tstring::npos);
    return result;
}

CfgFile CfgFile::withEnvironmentExpanded() const {
    CfgFile copy(*this);
    for (auto& section : copy.data) {
        for (auto& property : section.second) {
            for (tstring& value : property.second) {
                value = expandEnvironment(value);
            }
        }
    }
    return copy;
}

CfgFile CfgFile::withMacrosExpanded(const MacroMap& macros) const {
    CfgFile copy(*this);
    for (auto& section : copy.data) {
        for (auto& property : section.second) {
            for (tstring& value : property.second) {
                value = expandMacros(value, macros);
            }
        }
    }
    return copy;
}

const PropertyMap& CfgFile::sectionProperties(const SectionKey& section) const {
    const auto it = data.find(section);
    return it == data.end() ? empty : it->second;
}

const tstring_array& CfgFile::values(const SectionKey& section,
                                     const PropertyKey& property) const {
    const PropertyMap& properties = sectionProperties(section);
    const auto it = properties.find(property);
    return it == properties.end() ? none : it->second;
}

bool CfgFile::findValue(const PropertyKey& property, tstring& value) const {
    const tstring_array& all = values(SectionName::Application, property);
    if (all.empty()) {
        return false;
    }
    value = all.back();
    return true;
}

bool CfgFile::isOn(const PropertyKey& property, const wchar_t* on, const wchar_t* off) const {
    tstring value;
    if (!findValue(property, value) || value == off) {
        return false;
    }
    if (value == on) {
        return true;
    }
    LOG_WARNING(property.name() << L"=" << value << L" is neither " << on << L" nor " << off
                                << L": taken as " << off);
    return false;
}

CfgFile& CfgFile::replaceProperty(const SectionKey& section, const PropertyKey& property,
                                  const tstring_array& values) {
    data[section][property] = values;
    return *this;
}

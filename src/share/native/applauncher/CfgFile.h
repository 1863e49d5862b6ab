// Launcher configuration file: sections, properties and the path macros of their values.
#ifndef CORVELA_CFGFILE_H
#define CORVELA_CFGFILE_H

#include <map>

#include "tstrings.h"

// A key names a section or a property by a constant wide string; keys compare by name.
template <class Tag> class CfgKey {
public:
    constexpr explicit CfgKey(const wchar_t* name) : str(name) {}

    const wchar_t* name() const { return str; }
    bool operator==(const CfgKey& other) const { return compare(other) == 0; }
    bool operator!=(const CfgKey& other) const { return compare(other) != 0; }
    bool operator<(const CfgKey& other) const { return compare(other) < 0; }

private:
    int compare(const CfgKey& other) const { return tstring(str).compare(other.str); }

    const wchar_t* str;
};

struct SectionKeyTag {};
struct PropertyKeyTag {};
typedef CfgKey<SectionKeyTag> SectionKey;
typedef CfgKey<PropertyKeyTag> PropertyKey;

typedef std::map<PropertyKey, tstring_array> PropertyMap;
typedef std::map<tstring, tstring> MacroMap;

namespace SectionName {
extern const SectionKey Application;
extern const SectionKey JavaOptions;
extern const SectionKey AppCDSJavaOptions;
extern const SectionKey AppCDSGenerateCacheJavaOptions;
extern const SectionKey ArgOptions;
} // namespace SectionName

namespace PropertyName {
extern const PropertyKey version;
extern const PropertyKey mainjar;
extern const PropertyKey mainmodule;
extern const PropertyKey mainclass;
extern const PropertyKey classpath;
extern const PropertyKey modulepath;
extern const PropertyKey runtime;
extern const PropertyKey splash;
extern const PropertyKey memory;
extern const PropertyKey arguments;
extern const PropertyKey javaOptions;
extern const PropertyKey classData;
// "true" in [Application]: a second start hands its request to the running instance.
extern const PropertyKey singleInstance;
// The service launcher's: seconds a stop waits for the application, where its logs go, when
// they roll and how many rolled files stay, and the vendor that names the default log folder.
extern const PropertyKey serviceStopTimeout;
extern const PropertyKey logDir;
extern const PropertyKey logMaxSize;
extern const PropertyKey logKeep;
extern const PropertyKey vendor;
// In [Application]: the exit code with which the application asks to be started again.
extern const PropertyKey restartExitCode;
// In [Application]: the feed an image updates from and the public key (base64 DER) its
// signature is checked with; read by the application's update library.
extern const PropertyKey updateUrl;
extern const PropertyKey updateKey;
} // namespace PropertyName

// In-memory form of the launcher configuration file.
class CfgFile {
public:
    typedef std::map<SectionKey, PropertyMap> SectionMap;

    static CfgFile load(const tstring& path);

    CfgFile withMacrosExpanded(const MacroMap& macros) const;
    // Every value with its %NAME% references to this process's environment expanded
    // (expandEnvironment).
    CfgFile withEnvironmentExpanded() const;
    // The always-empty map for an absent section, so lookups need no null check.
    const PropertyMap& sectionProperties(const SectionKey& section) const;
    CfgFile& replaceProperty(const SectionKey& section, const PropertyKey& property,
                             const tstring_array& values);

    // Lookups by exact name; false when the name is not one of the key constants.
    static bool findSection(const tstring& name, SectionKey& key);
    static bool findProperty(const tstring& name, PropertyKey& key);

private:
    SectionMap data;
    PropertyMap empty;
};

// A property's last value: single-valued properties let a repeated key win.
tstring lastValue(const tstring_array& entry);
// All values joined with ";".
tstring joinedValues(const tstring_array& entry);

// Applies the macros in ascending order of name, pass after pass, until a pass changes
// nothing (see the definition for how a cycle is ended).
tstring expandMacros(const tstring& value, const MacroMap& macros);

// Replaces each %NAME% with the value of the environment variable NAME, as cmd does: the
// name is matched as Windows matches it (without regard to case), "%%" is a literal '%', a
// reference to a variable that is not set stays as written, and a '%' without a partner
// stays. One scan: text that a variable brings in is never expanded again.
tstring expandEnvironment(const tstring& value);

#endif

// Launcher configuration file: sections, properties and the path macros of their values.
#ifndef CORVELA_CFGFILE_H
#define CORVELA_CFGFILE_H

#include <map>
#include <vector>

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

// The key table: every section and property the reader knows, as the constant's name and the
// key's name in the file. A key is one line here: its constant and the reader's entry both
// come from it. Unknown names are skipped by the reader.
#define CORVELA_CFG_SECTIONS(SECTION)                                                              \
    SECTION(Application, L"Application")                                                           \
    SECTION(JavaOptions, L"JavaOptions")                                                           \
    SECTION(AppCDSJavaOptions, L"AppCDSJavaOptions")                                               \
    SECTION(AppCDSGenerateCacheJavaOptions, L"AppCDSGenerateCacheJavaOptions")                     \
    SECTION(ArgOptions, L"ArgOptions")

#define CORVELA_CFG_PROPERTIES(PROPERTY)                                                           \
    PROPERTY(version, L"app.version")                                                              \
    PROPERTY(mainjar, L"app.mainjar")                                                              \
    PROPERTY(mainmodule, L"app.mainmodule")                                                        \
    PROPERTY(mainclass, L"app.mainclass")                                                          \
    PROPERTY(classpath, L"app.classpath")                                                          \
    PROPERTY(modulepath, L"app.modulepath")                                                        \
    PROPERTY(runtime, L"app.runtime")                                                              \
    PROPERTY(splash, L"app.splash")                                                                \
    PROPERTY(memory, L"app.memory")                                                                \
    PROPERTY(arguments, L"arguments")                                                              \
    PROPERTY(javaOptions, L"java-options")                                                         \
    /* "auto" in [Application]: a class-data archive per user. */                                  \
    PROPERTY(classData, L"app.class-data")                                                         \
    /* "true" in [Application]: a second start hands its request to the running instance. */      \
    PROPERTY(singleInstance, L"app.single-instance")                                               \
    /* The service launcher's: seconds a stop waits for the application, where its logs go,     \
       when they roll and how many rolled files stay, the vendor of the default log folder. */    \
    PROPERTY(serviceStopTimeout, L"app.service-stop-timeout")                                      \
    PROPERTY(logDir, L"app.log-dir")                                                               \
    PROPERTY(logMaxSize, L"app.log-max-size")                                                      \
    PROPERTY(logKeep, L"app.log-keep")                                                             \
    PROPERTY(vendor, L"app.vendor")                                                                \
    /* An image without a runtime of its own runs on an installed one: the oldest and newest   \
       versions it accepts, and where its users get one. */                                    \
    PROPERTY(runtimeMinVersion, L"app.runtime-min-version")                                        \
    PROPERTY(runtimeMaxVersion, L"app.runtime-max-version")                                        \
    PROPERTY(runtimeDownloadUrl, L"app.runtime-download-url")

#define CORVELA_CFG_DECLARE_SECTION(constant, name) extern const SectionKey constant;
#define CORVELA_CFG_DECLARE_PROPERTY(constant, name) extern const PropertyKey constant;
namespace SectionName {
CORVELA_CFG_SECTIONS(CORVELA_CFG_DECLARE_SECTION)
} // namespace SectionName
namespace PropertyName {
CORVELA_CFG_PROPERTIES(CORVELA_CFG_DECLARE_PROPERTY)
} // namespace PropertyName
#undef CORVELA_CFG_DECLARE_SECTION
#undef CORVELA_CFG_DECLARE_PROPERTY

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
    // Every value of a property in a section, in the file's order; none when absent.
    const tstring_array& values(const SectionKey& section, const PropertyKey& property) const;
    // The value of an [Application] property: its last line wins. False when absent.
    bool findValue(const PropertyKey& property, tstring& value) const;
    // An on/off property of [Application]: true for `on`; false when absent or `off`. Any
    // other value is off, with a warning that names the key and the value.
    bool isOn(const PropertyKey& property, const wchar_t* on, const wchar_t* off) const;
    CfgFile& replaceProperty(const SectionKey& section, const PropertyKey& property,
                             const tstring_array& values);

    // Lookups by exact name; false when the name is not in the key table.
    static bool findSection(const tstring& name, SectionKey& key);
    static bool findProperty(const tstring& name, PropertyKey& key);
    // The key table, in its order.
    static const std::vector<SectionKey>& allSections();
    static const std::vector<PropertyKey>& allProperties();

private:
    SectionMap data;
    PropertyMap empty;
    tstring_array none;
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

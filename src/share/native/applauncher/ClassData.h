// Per-user class-data archive: which options map or make it, and what its name depends on.
#ifndef CORVELA_CLASSDATA_H
#define CORVELA_CLASSDATA_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "tstrings.h"

struct Launch;

namespace ClassData {

// The value of the `release` file's line JAVA_VERSION="17.0.9" (17.0.9), quotes removed; empty
// when the text has no such line.
std::string javaVersionValue(const std::string& releaseText);

// The runtime's feature version from the text of its `release` file (8 for "1.8.0_392", 17
// for "17.0.9"); 0 when the text names none.
int featureVersion(const std::string& releaseText);

// The first version whose runtime can write an archive of the application's classes at exit.
const int firstVersion = 13;

// The options that have the runtime map `archive`, which exists and is whole.
tstring_array mapOptions(int version, const tstring& archive);
// The options that have the runtime write an archive to `target` when the application ends.
tstring_array makeOptions(int version, const tstring& target);

// True for an option by which the configuration or the user makes a class-data choice of
// their own (or one the runtime cannot make an archive under): the launcher then stands back.
bool makesItsOwnChoice(const tstring& option);

// A 64-bit fingerprint: of the facts an archive depends on, and of an archive's bytes.
class Fingerprint {
public:
    Fingerprint& add(const void* bytes, size_t size);
    Fingerprint& add(const tstring& text);
    Fingerprint& add(std::uint64_t value);
    std::uint64_t value() const;
    // Sixteen lowercase hexadecimal digits.
    tstring hex() const;

private:
    std::uint64_t state = 0xcbf29ce484222325ull;
    std::uint64_t length = 0;
};

// Platform half: adds the options of the launch's archive to its Jvm, when the
// configuration asks for one ("app.class-data" is "auto") and the runtime can make it. Never
// fails the launch: whatever stands in the way leaves the options out, with a trace line.
// True when this start makes the archive: a runtime that writes an archive refuses to start
// with a Java agent, so no step may add one after this.
bool addOptions(const Launch& launch);

// True for an option that loads a Java or native agent into the runtime.
bool loadsAnAgent(const tstring& option);

} // namespace ClassData

#endif

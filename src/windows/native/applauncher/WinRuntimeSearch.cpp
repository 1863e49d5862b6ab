// Installed runtime search, Windows half: JAVA_HOME, vendors' registry keys, PATH, PE machine.
#include <windows.h>

#include "Dll.h"
#include "ErrorHandling.h"
#include "FileUtils.h"
#include "Log.h"
#include "RuntimeSearch.h"
#include "SysInfo.h"
#include "WindowsSupport.h"

namespace RuntimeSearch {

namespace {

// Where a vendor's installer registers a runtime: one subkey per version under `key`, and
// the home directory in `value` of that subkey, or of `below` under it.
struct Layout {
    const wchar_t* key;
    const wchar_t* below;
    const wchar_t* value;
};

const Layout layouts[] = {
    {L"SOFTWARE\\JavaSoft\\JDK", L"", L"JavaHome"},
    {L"SOFTWARE\\JavaSoft\\JRE", L"", L"JavaHome"},
    {L"SOFTWARE\\JavaSoft\\Java Development Kit", L"", L"JavaHome"},
    {L"SOFTWARE\\JavaSoft\\Java Runtime Environment", L"", L"JavaHome"},
    {L"SOFTWARE\\Eclipse Adoptium\\JDK", L"hotspot\\MSI", L"Path"},
    {L"SOFTWARE\\Eclipse Adoptium\\JRE", L"hotspot\\MSI", L"Path"},
    {L"SOFTWARE\\Eclipse Foundation\\JDK", L"hotspot\\MSI", L"Path"},
    {L"SOFTWARE\\Eclipse Foundation\\JRE", L"hotspot\\MSI", L"Path"},
    {L"SOFTWARE\\AdoptOpenJDK\\JDK", L"hotspot\\MSI", L"Path"},
    {L"SOFTWARE\\AdoptOpenJDK\\JRE", L"hotspot\\MSI", L"Path"},
    {L"SOFTWARE\\Microsoft\\JDK", L"hotspot\\MSI", L"Path"},
    {L"SOFTWARE\\Semeru\\JDK", L"openj9\\MSI", L"Path"},
    {L"SOFTWARE\\Semeru\\JRE", L"openj9\\MSI", L"Path"},
    {L"SOFTWARE\\Azul Systems\\Zulu", L"", L"InstallationPath"},
    {L"SOFTWARE\\BellSoft\\Liberica", L"", L"InstallationPath"},
};

typedef LSTATUS(WINAPI* RegOpenKeyExFunc)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
typedef LSTATUS(WINAPI* RegEnumKeyExFunc)(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPWSTR, LPDWORD,
                                          PFILETIME);
typedef LSTATUS(WINAPI* RegGetValueFunc)(HKEY, LPCWSTR, LPCWSTR, DWORD, LPDWORD, PVOID, LPDWORD);
typedef LSTATUS(WINAPI* RegCloseKeyFunc)(HKEY);

// The registry functions, from advapi32 loaded for the search only: an image with a
// runtime of its own loads nothing new.
class Registry {
public:
    Registry()
        : advapi(tstrings::Builder()
                 << FileUtils::combinePath(SysInfo::getSystemDirectory(), L"advapi32.dll")),
          openKey(lookUp<RegOpenKeyExFunc>("RegOpenKeyExW")),
          enumKey(lookUp<RegEnumKeyExFunc>("RegEnumKeyExW")),
          getValue(lookUp<RegGetValueFunc>("RegGetValueW")),
          closeKey(lookUp<RegCloseKeyFunc>("RegCloseKey")) {}

    // An open key, closed when it goes.
    class Key {
    public:
        Key(const Registry& registry, HKEY handle) : registry(registry), handle(handle) {}
        ~Key() {
            if (handle) {
                registry.closeKey(handle);
            }
        }
        Key(const Key&) = delete;
        Key& operator=(const Key&) = delete;

        explicit operator bool() const { return handle != nullptr; }

        // The names of the subkeys, in the registry's order.
        tstring_array subkeys() const {
            tstring_array names;
            wchar_t name[256];
            for (DWORD i = 0;; ++i) {
                DWORD length = ARRAYSIZE(name);
                const LSTATUS status = registry.enumKey(handle, i, name, &length, nullptr,
                                                        nullptr, nullptr, nullptr);
                if (status == ERROR_MORE_DATA) {
                    continue; // a name no vendor writes
                }
                if (status != ERROR_SUCCESS) {
                    return names;
                }
                names.push_back(tstring(name, length));
            }
        }

        // A string value of `subkey`; empty when there is none.
        tstring stringValue(const tstring& subkey, const wchar_t* valueName) const {
            wchar_t value[MAX_PATH * 2];
            DWORD size = sizeof(value);
            if (registry.getValue(handle, subkey.c_str(), valueName, RRF_RT_REG_SZ, nullptr, value,
                                  &size) != ERROR_SUCCESS ||
                size < sizeof(wchar_t)) {
                return tstring();
            }
            return tstring(value, size / sizeof(wchar_t) - 1);
        }

    private:
        const Registry& registry;
        HKEY handle;
    };

    HKEY open(HKEY root, const wchar_t* path) const {
        HKEY key = nullptr;
        // The 64-bit view: the launcher runs 64-bit runtimes only.
        if (openKey(root, path, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
            return nullptr;
        }
        return key;
    }

private:
    template <class Function> Function lookUp(const char* name) const {
        return reinterpret_cast<Function>(advapi.getFunction(name));
    }

    const Dll advapi;
    const RegOpenKeyExFunc openKey;
    const RegEnumKeyExFunc enumKey;
    const RegGetValueFunc getValue;
    const RegCloseKeyFunc closeKey;
};

tstring unquoted(const tstring& path) {
    tstring value = path;
    if (value.size() >= 2 && value.front() == L'"' && value.back() == L'"') {
        value = value.substr(1, value.size() - 2);
    }
    return FileUtils::stripTrailingSeparators(value);
}

void addRegistered(const Registry& registry, std::vector<Candidate>& candidates) {
    const struct {
        HKEY root;
        const wchar_t* name;
    } roots[] = {{HKEY_CURRENT_USER, L"HKCU"}, {HKEY_LOCAL_MACHINE, L"HKLM"}};
    for (const auto& root : roots) {
        for (const Layout& layout : layouts) {
            const Registry::Key key(registry, registry.open(root.root, layout.key));
            if (!key) {
                continue;
            }
            for (const tstring& version : key.subkeys()) {
                const tstring subkey = FileUtils::mkpath() << version << layout.below;
                const tstring home = unquoted(key.stringValue(subkey, layout.value));
                const tstring origin = FileUtils::mkpath() << root.name << layout.key << subkey;
                if (home.empty()) {
                    LOG_TRACE(L"Installed runtime " << origin << L" skipped: no " << layout.value
                                                    << L" value");
                    continue;
                }
                candidates.push_back({Candidate::Source::Registered, home, origin});
            }
        }
    }
}

// The runtime of the first java.exe on PATH: the directory above its bin.
void addFirstOnPath(std::vector<Candidate>& candidates) {
    const tstring path = SysInfo::getEnvVariable(L"PATH", tstring());
    for (const tstring& piece : tstrings::split(path, L";")) {
        const tstring dir = unquoted(piece);
        if (!dir.empty() && FileUtils::fileExists(FileUtils::mkpath() << dir << L"java.exe")) {
            candidates.push_back(
                {Candidate::Source::Path, FileUtils::dirname(dir), L"java.exe on PATH"});
            return;
        }
    }
}

// The machine a PE file is built for; 0 when the file is not one.
WORD machineOf(const tstring& path) {
    const UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    IMAGE_DOS_HEADER dos = {};
    DWORD read = 0;
    if (!file || !ReadFile(file.get(), &dos, sizeof(dos), &read, nullptr) ||
        read != sizeof(dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0) {
        return 0;
    }
    struct {
        DWORD signature;
        WORD machine;
    } nt = {};
    LARGE_INTEGER at;
    at.QuadPart = dos.e_lfanew;
    if (!SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) ||
        !ReadFile(file.get(), &nt, 6, &read, nullptr) || read != 6 ||
        nt.signature != IMAGE_NT_SIGNATURE) {
        return 0;
    }
    return nt.machine;
}

// Why a runtime cannot run in this process; empty when nothing stands against it.
tstring problemOf(const tstring& homeDir, JavaVersion& version) {
    const tstring jli = FileUtils::mkpath() << homeDir << L"bin" << L"jli.dll";
    if (!FileUtils::fileExists(jli)) {
        return L"no bin\\jli.dll";
    }
    const WORD machine = machineOf(jli);
    if (machine != IMAGE_FILE_MACHINE_AMD64) {
        return (tstrings::Builder() << L"bin\\jli.dll is not a 64-bit x64 image (machine "
                                    << static_cast<unsigned>(machine) << L")")
            .tstr();
    }
    if (!versionOfRuntime(homeDir, version)) {
        return L"no JAVA_VERSION that reads in its release file";
    }
    return tstring();
}

} // namespace

tstring findInstalled(const VersionRange& range, const tstring& appName) {
    TRACE_FUNCTION();
    Pick pick(range);
    JavaVersion version;

    const tstring javaHome = unquoted(SysInfo::getEnvVariable(L"JAVA_HOME", tstring()));
    if (!javaHome.empty()) {
        const Candidate candidate = {Candidate::Source::JavaHome, javaHome, L"JAVA_HOME"};
        if (pick.consider(candidate, problemOf(javaHome, version), version)) {
            return pick.chosen().homeDir;
        }
    }

    std::vector<Candidate> candidates;
    {
        const Registry registry;
        addRegistered(registry, candidates);
    }
    addFirstOnPath(candidates);
    for (const Candidate& candidate : candidates) {
        pick.consider(candidate, problemOf(candidate.homeDir, version), version);
    }
    if (!pick.found()) {
        THROW_ERROR(LauncherError(tstrings::toUtf8(notFoundMessage(appName, range))));
    }
    LOG_TRACE(L"Installed runtime chosen: " << pick.chosen().homeDir);
    return pick.chosen().homeDir;
}

} // namespace RuntimeSearch

// Class-data archive, Windows half (ClassData.h): the per-user directory, the key, and making,
// sealing and mapping the archive.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "AppImage.h"
#include "CfgFile.h"
#include "ClassData.h"
#include "ErrorHandling.h"
#include "FileUtils.h"
#include "JvmLauncher.h"
#include "Launch.h"
#include "Log.h"
#include "SysInfo.h"
#include "UserFolder.h"
#include "WindowsSupport.h"

namespace {

typedef UniqueResource<KeepingLastError<InvalidHandleMeansNone<&FindClose>>> UniqueFind;
typedef WindowsResource<LPVOID, &UnmapViewOfFile> UniqueView;

// Environment variables the runtime takes options from: they count as JVM options too.
const wchar_t* const optionVariables[] = {L"JAVA_TOOL_OPTIONS", L"JDK_JAVA_OPTIONS",
                                          L"_JAVA_OPTIONS"};

// Room left on the disk beyond twice the application's class files before an archive is
// made: the runtime that cannot write the archive at exit ends with an error.
const unsigned long long spareBytes = 64ull << 20;

// A dynamic archive starts with this number; the runtime writes it last, so a file cut short
// while being written lacks it.
const unsigned char archiveMagic[] = {0xa8, 0xab, 0x0b, 0xf0};

[[noreturn]] void standBack(const tstrings::Builder& why) {
    THROW_ERROR(LauncherError(why.str()));
}

tstring systemErrorText(DWORD code) {
    return (tstrings::Builder() << L"error " << static_cast<unsigned long>(code)).tstr();
}

struct FileFacts {
    bool exists = false;
    bool directory = false;
    unsigned long long size = 0;
    unsigned long long time = 0;
};

FileFacts factsOf(const tstring& path) {
    FileFacts facts;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        facts.exists = true;
        facts.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        facts.size =
            (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        facts.time = (static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                     data.ftLastWriteTime.dwLowDateTime;
    }
    return facts;
}

void addFacts(ClassData::Fingerprint& key, const tstring& path, const FileFacts& facts) {
    key.add(path).add(facts.exists ? 1u : 0u).add(facts.size).add(facts.time);
}

UniqueFileHandle openFile(const tstring& path, DWORD access, DWORD share, DWORD disposition,
                          DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    return UniqueFileHandle(
        CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr));
}

// The names of the entries of `dir` that match `pattern`, without "." and "..".
tstring_array namesIn(const tstring& dir, const tstring& pattern) {
    tstring_array names;
    WIN32_FIND_DATAW data;
    const UniqueFind find(
        FindFirstFileW(tstring(FileUtils::mkpath() << dir << pattern).c_str(), &data));
    if (!find) {
        return names;
    }
    do {
        const tstring name = data.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (FindNextFileW(find.get(), &data));
    return names;
}

// A small file's bytes; false when it cannot be read.
bool readSmallFile(const tstring& path, std::string& bytes) {
    const UniqueFileHandle file = openFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    char buffer[65536];
    DWORD read = 0;
    if (!file || !ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr)) {
        return false;
    }
    bytes.assign(buffer, read);
    return true;
}

// The runtime writes its archives read-only; they must still go when replaced.
bool removeFile(const tstring& path) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return DeleteFileW(path.c_str()) != 0;
}

bool processIsRunning(DWORD pid) {
    const UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (!process) {
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

// The fingerprint of a file's bytes, read through a mapping; false when it cannot be read.
bool fingerprintOfFile(const tstring& path, unsigned long long size, tstring& hex) {
    const UniqueFileHandle file =
        openFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
    if (!file || size == 0) {
        return false;
    }
    const UniqueHandle mapping(
        CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    const UniqueView view(mapping ? MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0) : nullptr);
    if (!view) {
        return false;
    }
    hex = ClassData::Fingerprint().add(view.get(), static_cast<size_t>(size)).hex();
    return true;
}

// What the archive depends on from the runtime: its `release` file and its JVM library.
struct Runtime {
    std::string release;
    int version = 0;
    tstring jvmLib;
    tstring baseArchive;
};

Runtime runtimeOf(const Jvm& jvm) {
    const tstring jliDir = FileUtils::dirname(jvm.libraryPath());
    Runtime runtime;
    const tstring release = FileUtils::mkpath() << FileUtils::dirname(jliDir) << L"release";
    if (readSmallFile(release, runtime.release)) {
        runtime.version = ClassData::featureVersion(runtime.release);
    }
    runtime.jvmLib = FileUtils::mkpath() << jliDir << L"server" << L"jvm.dll";
    runtime.baseArchive = FileUtils::mkpath() << jliDir << L"server" << L"classes.jsa";
    return runtime;
}

// The entries of a path property, each value a ";"-separated list.
tstring_array pathEntries(const CfgFile& cfg, const PropertyKey& key) {
    tstring_array entries;
    for (const tstring& value : cfg.values(SectionName::Application, key)) {
        for (const tstring& entry : tstrings::split(value, L";")) {
            if (!entry.empty()) {
                entries.push_back(entry);
            }
        }
    }
    return entries;
}

// A module path directory counts by the jars in it. Anything else there, or a directory on
// the class path, holds classes the runtime does not archive and refuses to write an
// archive over (it ends with an error when the application ends): no archive then.
unsigned long long addDirectoryFacts(ClassData::Fingerprint& key, const tstring& dir) {
    unsigned long long bytes = 0;
    for (const tstring& name : namesIn(dir, L"*")) {
        const tstring path = FileUtils::mkpath() << dir << name;
        const FileFacts facts = factsOf(path);
        if (facts.directory || !tstrings::endsWith(tstrings::toLower(name), L".jar")) {
            standBack(tstrings::Builder() << path << L" on the module path is not a jar");
        }
        addFacts(key, path, facts);
        bytes += facts.size;
    }
    return bytes;
}

// Adds the class path, the main jar and the module path to the key; returns their bytes.
unsigned long long addClassPathFacts(ClassData::Fingerprint& key, const CfgFile& cfg) {
    tstring_array classPath = pathEntries(cfg, PropertyName::classpath);
    const tstring_array mainJar = cfg.values(SectionName::Application, PropertyName::mainjar);
    if (!mainJar.empty()) {
        classPath.push_back(lastValue(mainJar));
    }
    unsigned long long bytes = 0;
    for (const tstring& entry : classPath) {
        const FileFacts facts = factsOf(entry);
        if (facts.directory) {
            standBack(tstrings::Builder() << L"directory " << entry << L" on the class path");
        }
        addFacts(key, entry, facts);
        bytes += facts.size;
    }
    for (const tstring& entry : pathEntries(cfg, PropertyName::modulepath)) {
        const FileFacts facts = factsOf(entry);
        addFacts(key, entry, facts);
        bytes += facts.directory ? addDirectoryFacts(key, entry) : facts.size;
    }
    return bytes;
}

// The words of the JVM options and of the option variables, as the runtime reads them.
tstring_array optionWords(const tstring_array& options) {
    tstring_array words;
    for (const tstring& option : options) {
        for (const tstring& word : tstrings::split(option, L" ")) {
            words.push_back(word);
        }
    }
    return words;
}

// Whether a JVM option or an option variable makes a class-data choice of its own.
void standBackForOwnChoices(const tstring_array& options) {
    for (const tstring& word : optionWords(options)) {
        if (ClassData::makesItsOwnChoice(word)) {
            standBack(tstrings::Builder() << L"the option " << word << L" decides");
        }
    }
}

} // namespace

namespace {

// The archive's name: the launcher's name and the fingerprint of everything the archive
// depends on, so that an upgrade of anything in it gives a new name and never maps a stale
// archive. Also counts the bytes of the application's class files.
class ArchiveKey {
public:
    ArchiveKey(const Launch& launch, const Runtime& runtime) {
        key.add(tstring(L"class-data 1")).add(runtime.release.data(), runtime.release.size());
        addFacts(key, runtime.jvmLib, factsOf(runtime.jvmLib));
        classBytes = addClassPathFacts(key, launch.cfg);
        tstring_array options = launch.jvm.options();
        for (const wchar_t* name : optionVariables) {
            options.push_back(SysInfo::getEnvVariable(name, tstring()));
        }
        standBackForOwnChoices(options);
        for (const tstring& word : optionWords(options)) {
            if (ClassData::loadsAnAgent(word)) {
                agent = word;
            }
        }
        addAll(options);
        addAll(launch.cfg.values(SectionName::AppCDSJavaOptions, PropertyName::javaOptions));
        addAll(launch.cfg.values(SectionName::AppCDSGenerateCacheJavaOptions,
                        PropertyName::javaOptions));
        name = launch.image.launcherName() + L"-" + key.hex();
    }

    tstring name;
    unsigned long long classBytes = 0;
    // An agent the configuration or the user loads, or "".
    tstring agent;

private:
    void addAll(const tstring_array& values) {
        key.add(static_cast<std::uint64_t>(values.size()));
        for (const tstring& value : values) {
            key.add(value);
        }
    }

    ClassData::Fingerprint key;
};

} // namespace

namespace {

// One launcher's archives in the per-user directory. `<key>.jsa` is the archive, `<key>.seal`
// its size and fingerprint, and `<key>.<pid>.tmp` the archive that the runtime of process
// <pid> writes when its application ends. A later start seals it and moves it into place in
// one rename, so that an archive appears whole or not at all, and two first starts at the
// same moment each write a file of their own.
class ArchiveDir {
public:
    ArchiveDir(const tstring& dir, const tstring& launcherName, const tstring& key)
        : dir(dir), launcherName(launcherName), key(key) {}

    tstring archive() const { return FileUtils::mkpath() << dir << key + L".jsa"; }
    tstring target() const {
        return FileUtils::mkpath()
               << dir
               << (tstrings::Builder() << key << L"." << GetCurrentProcessId() << L".tmp").tstr();
    }

    // True when the archive is there and its bytes are the ones sealed: a truncated or
    // damaged archive could end the runtime that maps it.
    bool isWhole() const {
        std::string seal;
        const FileFacts facts = factsOf(archive());
        tstring hex;
        return readSmallFile(sealPath(), seal) && facts.exists &&
               fingerprintOfFile(archive(), facts.size, hex) && seal == sealText(facts.size, hex);
    }

    // Seals and moves into place an archive a finished start wrote, removes files of
    // starts that are gone, and, once a new archive is in place, the launcher's older ones.
    // One start at a time; the others leave it to that one. True when the archive is whole.
    bool tidy(bool whole) {
        const UniqueFileHandle lock = openFile(
            FileUtils::mkpath() << dir << launcherName + L".lock", GENERIC_WRITE, 0, OPEN_ALWAYS);
        if (!lock) {
            return whole;
        }
        tstring_array older;
        bool made = false;
        for (const Entry& entry : entries()) {
            if (entry.kind == Entry::Target && entry.pid != GetCurrentProcessId() &&
                processIsRunning(entry.pid)) {
                continue;
            }
            if (entry.kind == Entry::Target && entry.key == key && !whole) {
                whole = made = promote(entry.path);
            }
            if (entry.kind == Entry::Target) {
                removeFile(entry.path);
            } else if (entry.key != key) {
                older.push_back(entry.path);
            }
        }
        if (made) {
            for (const tstring& path : older) {
                removeFile(path);
            }
        }
        return whole;
    }

    // Makes sure the runtime can write its archive: a runtime that cannot ends with an error.
    void prepareTarget(unsigned long long classBytes) const {
        removeFile(target());
        const UniqueFileHandle probe = openFile(target(), GENERIC_WRITE, 0, CREATE_ALWAYS,
                                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE);
        if (!probe) {
            THROW_LAST_ERROR(&CreateFileW, L"CreateFile(" << target() << L") failed");
        }
        ULARGE_INTEGER available = {};
        if (!GetDiskFreeSpaceExW(dir.c_str(), &available, nullptr, nullptr) ||
            available.QuadPart < spareBytes + 2 * classBytes) {
            standBack(tstrings::Builder()
                      << L"only " << static_cast<unsigned long long>(available.QuadPart)
                      << L" bytes free for " << target());
        }
    }

private:
    struct Entry {
        enum Kind { Archive, Seal, Target } kind;
        tstring path;
        tstring key;
        DWORD pid;
    };

    tstring sealPath() const { return FileUtils::mkpath() << dir << key + L".seal"; }

    static std::string sealText(unsigned long long size, const tstring& hex) {
        return (tstrings::Builder() << size << L" " << hex << L"\n").str();
    }

    // The files of this launcher, by what their names say.
    std::vector<Entry> entries() const {
        std::vector<Entry> result;
        const tstring prefix = launcherName + L"-";
        for (const tstring& name : namesIn(dir, prefix + L"*")) {
            Entry entry;
            if (parse(name, prefix.size(), entry)) {
                entry.path = FileUtils::mkpath() << dir << name;
                result.push_back(entry);
            }
        }
        return result;
    }

    // <launcher>-<16 hex digits>.jsa, .seal or .<pid>.tmp
    bool parse(const tstring& name, size_t prefixSize, Entry& entry) const {
        const size_t keySize = prefixSize + 16;
        if (name.size() <= keySize || name[keySize] != L'.') {
            return false;
        }
        entry.key = launcherName + L"-" + name.substr(prefixSize, 16);
        const tstring suffix = name.substr(keySize + 1);
        entry.pid = 0;
        if (suffix == L"jsa" || suffix == L"seal") {
            entry.kind = suffix == L"jsa" ? Entry::Archive : Entry::Seal;
            return true;
        }
        wchar_t* end = nullptr;
        entry.pid = static_cast<DWORD>(std::wcstoul(suffix.c_str(), &end, 10));
        entry.kind = Entry::Target;
        return end != suffix.c_str() && tstring(end) == L".tmp";
    }

    // Moves a finished archive into place, sealed; false when it is not an archive (the
    // runtime did not get to write it) or cannot be moved.
    bool promote(const tstring& path) const {
        std::string head;
        const FileFacts facts = factsOf(path);
        tstring hex;
        if (!readSmallFile(path, head) || head.size() < sizeof(archiveMagic) ||
            head.compare(0, sizeof(archiveMagic), reinterpret_cast<const char*>(archiveMagic),
                         sizeof(archiveMagic)) != 0 ||
            !fingerprintOfFile(path, facts.size, hex)) {
            LOG_TRACE(L"Class-data archive: " << path << L" is not a finished archive");
            return false;
        }
        removeFile(sealPath());
        SetFileAttributesW(archive().c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!MoveFileExW(path.c_str(), archive().c_str(), MOVEFILE_REPLACE_EXISTING)) {
            LOG_TRACE(L"Class-data archive: cannot move "
                      << path << L" into place (" << systemErrorText(GetLastError()) << L")");
            return false;
        }
        const std::string seal = sealText(facts.size, hex);
        const UniqueFileHandle file = openFile(sealPath(), GENERIC_WRITE, 0, CREATE_ALWAYS);
        DWORD written = 0;
        const bool sealed = file &&
                            WriteFile(file.get(), seal.data(), static_cast<DWORD>(seal.size()),
                                      &written, nullptr) &&
                            written == seal.size();
        LOG_TRACE(L"Class-data archive: made " << archive() << (sealed ? L"" : L", not sealed"));
        return sealed;
    }

    const tstring dir;
    const tstring launcherName;
    const tstring key;
};

// Whether the runtime can open `path` as the JVM arguments reach it: in the process code
// page, as a single path where ";" would separate two.
bool reachesTheRuntimeIntact(const tstring& path) {
    const std::string narrow = tstrings::toACP(path);
    const int n =
        MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), nullptr, 0);
    tstring back(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) {
        MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), &back[0], n);
    }
    return back == path && path.find(L';') == tstring::npos;
}

// %LOCALAPPDATA%\<package or launcher name>\class-data, made when missing.
tstring archiveDirOf(const AppImage& image) {
    const tstring dir = image.userDir(L"class-data");
    if (dir.empty()) {
        standBack(tstrings::Builder() << UserFolder::unsetReason);
    }
    if (!reachesTheRuntimeIntact(dir)) {
        standBack(tstrings::Builder() << L"the runtime cannot open files in " << dir);
    }
    FileUtils::makeDirectory(dir);
    return dir;
}

// True when the options make the archive.
bool addArchiveOptions(const Launch& launch) {
    const Runtime runtime = runtimeOf(launch.jvm);
    if (runtime.version < ClassData::firstVersion) {
        standBack(tstrings::Builder() << L"runtime version " << runtime.version
                                      << L" (from its release file) makes none");
    }
    if (!factsOf(runtime.baseArchive).exists) {
        standBack(tstrings::Builder() << L"the runtime has no " << runtime.baseArchive);
    }
    const ArchiveKey key(launch, runtime);
    ArchiveDir dir(archiveDirOf(launch.image), launch.image.launcherName(), key.name);
    const bool whole = dir.tidy(dir.isWhole());

    tstring_array options;
    if (whole) {
        options = ClassData::mapOptions(runtime.version, dir.archive());
        const tstring_array extra =
            launch.cfg.values(SectionName::AppCDSJavaOptions, PropertyName::javaOptions);
        options.insert(options.end(), extra.begin(), extra.end());
    } else {
        if (!key.agent.empty()) {
            // The runtime refuses to start when it is to write an archive beside an agent
            // (unless told to allow it, and then it warns on every start that maps the
            // archive): an application that loads its own agent keeps its start.
            standBack(tstrings::Builder() << L"the runtime writes no archive beside the agent "
                                          << key.agent);
        }
        dir.prepareTarget(key.classBytes);
        options = ClassData::makeOptions(runtime.version, dir.target());
        const tstring_array& extra = launch.cfg.values(SectionName::AppCDSGenerateCacheJavaOptions,
                                                       PropertyName::javaOptions);
        options.insert(options.end(), extra.begin(), extra.end());
    }
    LOG_TRACE(L"Class-data archive: " << (whole ? L"mapping " : L"making ")
                                      << (whole ? dir.archive() : dir.target()));
    for (const tstring& option : options) {
        launch.jvm.addOption(option);
    }
    return !whole;
}

} // namespace

bool ClassData::addOptions(const Launch& launch) {
    if (!launch.cfg.isOn(PropertyName::classData, L"auto", L"off")) {
        return false;
    }
    try {
        return addArchiveOptions(launch);
    } catch (const CvErrorBase& e) {
        LOG_TRACE(L"Class-data archive: none, " << tstrings::fromUtf8(e.bareMessage()));
    } catch (const std::exception& e) {
        LOG_TRACE(L"Class-data archive: none, " << tstrings::fromUtf8(e.what()));
    }
    return false;
}

// Class-data archive: options by runtime version, its key, and the archive kept or replaced.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ClassData.h"
#include "LauncherImage.h"
#include "TestSupport.h"

namespace ts = testing_support;
using testing_support::Image;
using testing_support::LaunchPath;

namespace {

const char* const cfgWithArchive = "[Application]\n"
                                   "app.classpath=$APPDIR\\main.jar\n"
                                   "app.modulepath=$APPDIR\\mods\n"
                                   "app.mainclass=app.Main\n"
                                   "app.class-data=auto\n"
                                   "[JavaOptions]\n"
                                   "java-options=-Dconfigured=1\n"
                                   "[AppCDSJavaOptions]\n"
                                   "java-options=-Dmapped=1\n"
                                   "[AppCDSGenerateCacheJavaOptions]\n"
                                   "java-options=-Dmaking=$APPDIR\n"
                                   "[ArgOptions]\n"
                                   "arguments=configured\n";

std::string withoutKey(const std::string& cfg) {
    const std::string key = "app.class-data=auto\n";
    std::string text = cfg;
    text.erase(text.find(key), key.size());
    return text;
}

void setFileTime(const std::wstring& path, long long offsetSeconds) {
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME time;
    GetFileTime(file, nullptr, nullptr, &time);
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    value.QuadPart += static_cast<unsigned long long>(offsetSeconds * 10000000LL);
    time.dwLowDateTime = value.LowPart;
    time.dwHighDateTime = value.HighPart;
    EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &time));
    CloseHandle(file);
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The options the launcher added for the archive: those between the configuration's options
// (the last is the launcher's path property) and the main class.
std::vector<std::string> archiveOptions(const std::vector<std::string>& args) {
    std::vector<std::string> options;
    bool inside = false;
    for (const std::string& arg : args) {
        if (arg == "app.Main") {
            break;
        }
        if (inside) {
            options.push_back(arg);
        }
        inside = inside || arg.rfind("-Dcorvela.app-path=", 0) == 0;
    }
    return options;
}

// The archive path an option names, or "".
std::string archivePathIn(const std::vector<std::string>& options) {
    for (const std::string prefix : {"-XX:SharedArchiveFile=", "-XX:ArchiveClassesAtExit="}) {
        for (const std::string& option : options) {
            if (option.rfind(prefix, 0) == 0) {
                return option.substr(prefix.size());
            }
        }
    }
    return std::string();
}

// "Demo-<16 hex digits>" from an archive path, or "".
std::string keyOf(const std::string& path) {
    const size_t start = path.rfind('\\') + 1;
    const std::string name = path.substr(start, path.find('.', start) - start);
    return name.size() == 21 && name.rfind("Demo-", 0) == 0 ? name : std::string();
}

class ClassDataTest : public ::testing::Test {
protected:
    void SetUp() override {
        ts::makeDirs(local);
        image.cfg(cfgWithArchive);
        ts::writeFile(jar(), "PK main jar");
        ts::makeDirs(image.appDir() + L"\\mods");
        ts::writeFile(image.appDir() + L"\\mods\\m.jar", "PK module jar");
        image.runtime(L"jvm.dll", L"server\\jvm.dll");
        ts::writeFile(image.root + L"\\runtime\\bin\\server\\classes.jsa", "base archive");
        release("JAVA_VERSION=\"17.0.9\"\n");
    }

    std::wstring jar() const { return image.appDir() + L"\\main.jar"; }
    std::wstring archiveDir() const { return local + L"\\Demo\\class-data"; }
    void release(const std::string& text) const {
        ts::writeFile(image.root + L"\\runtime\\release", text);
    }

    // One start in process, with the stand-in writing the archive it is asked for.
    ts::ProcessResult start(const std::wstring& args = L"",
                            std::map<std::wstring, std::wstring> env = {}) const {
        env.emplace(L"LOCALAPPDATA", local);
        env.emplace(L"STANDIN_WRITE_ARCHIVE", L"1");
        return image.run(LaunchPath::InProcess, args, env);
    }

    std::vector<std::string> startForOptions(const std::wstring& args = L"",
                                             std::map<std::wstring, std::wstring> env = {}) {
        const ts::ProcessResult r = start(args, env);
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        return archiveOptions(image.record().args());
    }

    std::string keyOfNextStart(std::map<std::wstring, std::wstring> env = {}) {
        return keyOf(archivePathIn(startForOptions(L"", env)));
    }

    ts::TempDir dir{L"cds"};
    Image image{dir / L"Demo"};
    std::wstring local = dir / L"local";
};

TEST(ClassDataVersion, FeatureVersionFromTheReleaseText) {
    const struct {
        const char* text;
        int version;
    } cases[] = {
        {"JAVA_VERSION=\"1.8.0_392\"\n", 8},
        {"IMPLEMENTOR=\"x\"\r\nJAVA_VERSION=\"17.0.9\"\r\nOS_NAME=\"Windows\"\r\n", 17},
        {"JAVA_VERSION=\"25-ea\"", 25},
        {"JAVA_VERSION=21.0.2\n", 21},
        {"JAVA_RUNTIME_VERSION=\"17.0.9+9\"\n", 0},
        {"JAVA_VERSION=\"\"\n", 0},
        {"JAVA_VERSION=\"x17\"\n", 0},
        {"JAVA_VERSION=\"99999999\"\n", 0},
        {"", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ClassData::featureVersion(c.text), c.version);
    }
}

TEST_F(ClassDataTest, OptionsByRuntimeVersion) {
    enum Kind { None, AtExit, AutoCreate };
    const struct {
        const char* release; // null: no release file; "locked": one nobody may read
        Kind kind;
    } cases[] = {
        {"1.8.0_392", None}, {"11.0.20", None},  {"13", AtExit},         {"17.0.9", AtExit},
        {"18.0.2", AtExit},  {"19", AutoCreate}, {"21.0.2", AutoCreate}, {"25", AutoCreate},
        {nullptr, None},     {"locked", None},
    };
    image.cfg(withoutKey(cfgWithArchive));
    start(L"x \"y z\"");
    const std::vector<std::string> plainArgs = image.record().args();
    image.cfg(cfgWithArchive);

    const std::wstring releasePath = image.root + L"\\runtime\\release";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.release ? c.release : "missing");
        ts::removeTree(local);
        ts::makeDirs(local);
        DeleteFileW(releasePath.c_str());
        if (c.release) {
            release("JAVA_VERSION=\"" + std::string(c.release) + "\"\n");
        }
        HANDLE lock = std::string(c.release ? c.release : "") == "locked"
                          ? CreateFileW(releasePath.c_str(), GENERIC_READ, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr)
                          : INVALID_HANDLE_VALUE;

        for (const bool second : {false, true}) {
            SCOPED_TRACE(second ? "second start" : "first start");
            const ts::ProcessResult r = start(L"x \"y z\"");
            EXPECT_EQ(r.exitCode, 0u) << r.err;
            const ts::Record record = image.record();
            std::vector<std::string> args = record.args();
            if (c.kind == None) {
                EXPECT_EQ(args, plainArgs);
                EXPECT_NE(r.err.find("Class-data archive: none, runtime version"),
                          std::string::npos)
                    << r.err;
                continue;
            }
            // The application's own arguments stay as they were, after the main class.
            ASSERT_GE(args.size(), 3u);
            EXPECT_EQ(std::vector<std::string>(args.end() - 3, args.end()),
                      (std::vector<std::string>{"app.Main", "x", "y z"}));
            const std::vector<std::string> options = archiveOptions(args);
            const std::string path = archivePathIn(options);
            const std::string key = keyOf(path);
            ASSERT_FALSE(key.empty()) << path;
            const std::string dirText = ts::utf8(archiveDir()) + "\\";
            const std::string target =
                second ? dirText + key + ".jsa" : dirText + key + "." + record.get("pid") + ".tmp";
            std::vector<std::string> expected = {"-Xshare:auto", "-Xlog:cds=off,cds+dynamic=off"};
            if (c.kind == AutoCreate) {
                expected.push_back("-XX:+AutoCreateSharedArchive");
                expected.push_back("-XX:SharedArchiveFile=" + target);
            } else {
                expected.push_back(
                    (second ? "-XX:SharedArchiveFile=" : "-XX:ArchiveClassesAtExit=") + target);
            }
            // The sections' options expand macros like every value.
            expected.push_back(second ? "-Dmapped=1" : "-Dmaking=" + ts::utf8(image.appDir()));
            EXPECT_EQ(options, expected);
            // What the stand-in wrote at exit is the archive the second start maps.
            EXPECT_EQ(exists(ts::wide(dirText + key + ".jsa")), second);
        }
        if (lock != INVALID_HANDLE_VALUE) {
            CloseHandle(lock);
        }
    }
}

TEST_F(ClassDataTest, KeyFollowsWhatTheArchiveDependsOn) {
    const std::wstring jvmDll = image.root + L"\\runtime\\bin\\server\\jvm.dll";
    const struct {
        const char* what;
        std::function<void()> change;
        std::map<std::wstring, std::wstring> env;
        bool changesKey;
    } cases[] = {
        {"nothing", [] {}, {}, false},
        {"other configured arguments",
         [this] {
             std::string cfg = cfgWithArchive;
             cfg.replace(cfg.find("arguments=configured"), 20, "arguments=other");
             image.cfg(cfg);
         },
         {},
         false},
        {"a new file beside the jar",
         [this] { ts::writeFile(image.appDir() + L"\\notes.txt", "x"); },
         {},
         false},
        {"the jar's time", [this] { setFileTime(jar(), 60); }, {}, true},
        {"a jar in a module path directory",
         [this] { setFileTime(image.appDir() + L"\\mods\\m.jar", 60); },
         {},
         true},
        {"the jar's size, its time kept",
         [this] {
             WIN32_FILE_ATTRIBUTE_DATA before;
             GetFileAttributesExW(jar().c_str(), GetFileExInfoStandard, &before);
             ts::writeFile(jar(), "PK main jar, longer");
             HANDLE file = CreateFileW(jar().c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
             SetFileTime(file, nullptr, nullptr, &before.ftLastWriteTime);
             CloseHandle(file);
         },
         {},
         true},
        {"the runtime's release file", [this] { release("JAVA_VERSION=\"17.0.10\"\n"); }, {}, true},
        {"the runtime's JVM library", [jvmDll] { setFileTime(jvmDll, 60); }, {}, true},
        {"a JVM option",
         [this] {
             std::string cfg = cfgWithArchive;
             cfg.replace(cfg.find("-Dconfigured=1"), 14, "-Dconfigured=2");
             image.cfg(cfg);
         },
         {},
         true},
        {"an option for mapping",
         [this] {
             std::string cfg = cfgWithArchive;
             cfg.replace(cfg.find("-Dmapped=1"), 10, "-Dmapped=2");
             image.cfg(cfg);
         },
         {},
         true},
        {"an option for making",
         [this] {
             std::string cfg = cfgWithArchive;
             cfg.replace(cfg.find("-Dmaking=$APPDIR"), 16, "-Dmaking=other");
             image.cfg(cfg);
         },
         {},
         true},
        {"options from JAVA_TOOL_OPTIONS", [] {}, {{L"JAVA_TOOL_OPTIONS", L"-Xss2m"}}, true},
        {"options from JDK_JAVA_OPTIONS", [] {}, {{L"JDK_JAVA_OPTIONS", L"-Xss2m"}}, true},
        {"options from _JAVA_OPTIONS", [] {}, {{L"_JAVA_OPTIONS", L"-Xss2m"}}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        image.cfg(cfgWithArchive);
        const std::string before = keyOfNextStart();
        ASSERT_FALSE(before.empty());
        c.change();
        const std::string after = keyOfNextStart(c.env);
        ASSERT_FALSE(after.empty());
        EXPECT_EQ(before != after, c.changesKey) << before << " " << after;
    }
    // Command-line arguments are the application's: the same archive.
    image.cfg(cfgWithArchive);
    const std::string before = keyOfNextStart();
    EXPECT_EQ(keyOf(archivePathIn(startForOptions(L"one two"))), before);
}

// A single-instance application's host tells its JVM its own process id, which differs from
// one start to the next: the archive must not depend on it, or none would be used twice.
TEST_F(ClassDataTest, ASingleInstanceApplicationKeepsItsArchive) {
    std::string cfg = cfgWithArchive;
    cfg.insert(cfg.find("app.class-data=auto\n"), "app.single-instance=true\n");
    image.cfg(cfg);
    const std::string first = keyOfNextStart();
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(keyOfNextStart(), first);
}

bool loadsAnAgent(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg.rfind("-javaagent:", 0) == 0) {
            return true;
        }
    }
    return false;
}

// The runtime ends at once when it is to write an archive beside a Java agent (Java 17:
// "Must enable AllowArchivingWithJavaAgent in order to run Java agent during CDS dumping",
// the same on the versions that create the archive themselves): the start that makes the
// archive has no single-instance agent, the starts that map it have.
TEST_F(ClassDataTest, TheStartThatMakesTheArchiveLoadsNoAgent) {
    std::string cfg = cfgWithArchive;
    cfg.insert(cfg.find("app.class-data=auto\n"), "app.single-instance=true\n");
    cfg.insert(cfg.find("\n") + 1, "app.classpath=$APPDIR\\corvela-instance.jar\n");
    image.cfg(cfg);
    for (const char* version : {"17.0.9", "21.0.5"}) {
        SCOPED_TRACE(version);
        ts::removeTree(local);
        ts::makeDirs(local);
        release(std::string("JAVA_VERSION=\"") + version + "\"\n");

        const std::string making = archivePathIn(startForOptions());
        ASSERT_EQ(making.substr(making.size() - 4), ".tmp");
        EXPECT_FALSE(loadsAnAgent(image.record().args()));

        const std::string mapping = archivePathIn(startForOptions());
        ASSERT_EQ(mapping.substr(mapping.size() - 4), ".jsa");
        const std::vector<std::string> args = image.record().args();
        EXPECT_TRUE(loadsAnAgent(args));
        EXPECT_NE(std::find(args.begin(), args.end(),
                            "-javaagent:" + ts::utf8(image.appDir()) + "\\corvela-instance.jar"),
                  args.end());
    }
}

TEST_F(ClassDataTest, OlderArchivesGoWhenANewOneIsMade) {
    startForOptions();
    startForOptions();
    const std::string oldKey = keyOf(archivePathIn(startForOptions()));
    const std::wstring oldArchive = archiveDir() + L"\\" + ts::wide(oldKey) + L".jsa";
    ASSERT_TRUE(exists(oldArchive));

    // An upgraded jar: the old archive stays until the new one is in place.
    setFileTime(jar(), 60);
    const std::string newKey = keyOf(archivePathIn(startForOptions()));
    EXPECT_NE(newKey, oldKey);
    EXPECT_TRUE(exists(oldArchive));
    const std::vector<std::string> options = startForOptions();
    EXPECT_EQ(archivePathIn(options), ts::utf8(archiveDir()) + "\\" + newKey + ".jsa");
    EXPECT_FALSE(exists(oldArchive));
    EXPECT_FALSE(exists(archiveDir() + L"\\" + ts::wide(oldKey) + L".seal"));

    // Another launcher's archives in the same directory are not this launcher's to remove,
    // even under a name as long as this launcher's.
    const std::vector<std::wstring> others = {L"Tool-0123456789abcdef.jsa",
                                              L"Tool-0123456789abcdef.seal",
                                              L"Demo-Tool-0123456789abcdef.jsa"};
    for (const std::wstring& name : others) {
        ts::writeFile(archiveDir() + L"\\" + name, "another launcher's");
    }
    setFileTime(jar(), 120);
    const std::string newerKey = keyOf(archivePathIn(startForOptions()));
    EXPECT_EQ(archivePathIn(startForOptions()),
              ts::utf8(archiveDir()) + "\\" + newerKey + ".jsa");
    EXPECT_FALSE(exists(archiveDir() + L"\\" + ts::wide(newKey) + L".jsa"));
    for (const std::wstring& name : others) {
        EXPECT_TRUE(exists(archiveDir() + L"\\" + name)) << ts::utf8(name);
    }
    // Beside them: this launcher's archive, its seal, the lock.
    EXPECT_EQ(ts::namesIn(archiveDir()).size(), 3u + others.size());
}

// A first start writes its archive when its application ends; when the jar changes before
// the next start, that archive holds the old jar's classes and must not pass for the new one's.
TEST_F(ClassDataTest, AnArchiveMadeBeforeAnUpgradeIsNeverSealedForIt) {
    const std::string oldKey = keyOf(archivePathIn(startForOptions()));
    ASSERT_FALSE(oldKey.empty());
    setFileTime(jar(), 60);
    const ts::ProcessResult r = start();
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    const ts::Record record = image.record();
    const std::string made = archivePathIn(archiveOptions(record.args()));
    EXPECT_NE(made.find("." + record.get("pid") + ".tmp"), std::string::npos)
        << "the upgraded start must make an archive of its own, not map the old one: " << made;
    const std::string newKey = keyOf(made);
    EXPECT_NE(newKey, oldKey);

    // The next start maps what the upgraded start wrote.
    const std::string mapped = archivePathIn(startForOptions());
    EXPECT_EQ(mapped, ts::utf8(archiveDir()) + "\\" + newKey + ".jsa");
    EXPECT_NE(ts::readFile(ts::wide(mapped)).find("written by " + record.get("pid") + "\n"),
              std::string::npos);
}

// Started without waiting, with this process's environment plus `env`.
HANDLE startAsync(const Image& image, const std::map<std::wstring, std::wstring>& env) {
    std::vector<std::unique_ptr<ts::ScopedEnv>> scoped;
    for (const auto& variable : env) {
        scoped.emplace_back(new ts::ScopedEnv(variable.first, variable.second));
    }
    std::wstring commandLine = L"\"" + image.exe() + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(image.exe().c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &si, &pi)) {
        return nullptr;
    }
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

TEST_F(ClassDataTest, TwoFirstStartsAtOnceEachWriteTheirOwnAndOneIsKept) {
    const std::wstring gate = L"corvela-cds-gate-" + std::to_wstring(GetCurrentProcessId());
    HANDLE ready = CreateSemaphoreW(nullptr, 0, 2, (gate + L".ready").c_str());
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, (gate + L".go").c_str());
    ASSERT_TRUE(ready && go);

    HANDLE starts[2];
    std::wstring records[2];
    for (int i = 0; i < 2; ++i) {
        records[i] = dir / (L"record" + std::to_wstring(i) + L".txt");
        starts[i] = startAsync(image, {{L"LOCALAPPDATA", local},
                                       {L"STANDIN_WRITE_ARCHIVE", L"1"},
                                       {L"STANDIN_GATE", gate},
                                       {L"STANDIN_RECORD", records[i]},
                                       {L"PATH", image.pathListingAppDir()}});
        ASSERT_TRUE(starts[i]);
    }
    // Both have chosen where their archive goes before either writes it.
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(WaitForSingleObject(ready, 120000), WAIT_OBJECT_0);
    }
    SetEvent(go);
    std::vector<std::string> written;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(WaitForSingleObject(starts[i], 120000), WAIT_OBJECT_0);
        DWORD code = 1;
        GetExitCodeProcess(starts[i], &code);
        EXPECT_EQ(code, 0u);
        CloseHandle(starts[i]);
        const ts::Record record = ts::Record::read(records[i]);
        const std::string path = archivePathIn(archiveOptions(record.args()));
        EXPECT_NE(path.find("." + record.get("pid") + ".tmp"), std::string::npos) << path;
        EXPECT_EQ(record.get("archive_written"), path);
        written.push_back(ts::readFile(ts::wide(path)));
    }
    CloseHandle(ready);
    CloseHandle(go);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_NE(written[0], written[1]);

    // The next start keeps one of them, whole, maps it, and removes the other.
    const std::string archive = archivePathIn(startForOptions());
    ASSERT_EQ(archive.substr(archive.size() - 4), ".jsa");
    const std::string kept = ts::readFile(ts::wide(archive));
    EXPECT_TRUE(kept == written[0] || kept == written[1]);
    for (const std::wstring& name : ts::namesIn(archiveDir())) {
        EXPECT_EQ(name.find(L".tmp"), std::wstring::npos) << ts::utf8(name);
    }
}

TEST_F(ClassDataTest, DamagedArchiveCostsOnlyItsBenefitAndIsReplaced) {
    const struct {
        const char* what;
        std::function<std::string(std::string)> damage;
    } cases[] = {
        {"truncated", [](std::string bytes) { return bytes.substr(0, bytes.size() / 2); }},
        {"one byte flipped",
         [](std::string bytes) {
             bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x10);
             return bytes;
         }},
        {"emptied", [](const std::string&) { return std::string(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ts::removeTree(local);
        ts::makeDirs(local);
        startForOptions();
        const std::string archive = archivePathIn(startForOptions());
        ASSERT_EQ(archive.substr(archive.size() - 4), ".jsa");
        const std::wstring path = ts::wide(archive);
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        ts::writeFile(path, c.damage(ts::readFile(path)));

        // Without the trace the start prints nothing, maps nothing and has a new one made.
        const ts::ProcessResult r = start(L"", {{L"CORVELA_DEBUG", L"false"}});
        EXPECT_EQ(r.exitCode, 0u);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, "");
        const ts::Record record = image.record();
        const std::string made = archivePathIn(archiveOptions(record.args()));
        EXPECT_NE(made.find("." + record.get("pid") + ".tmp"), std::string::npos) << made;

        // The next start maps the new archive in the damaged one's place.
        EXPECT_EQ(archivePathIn(startForOptions()), archive);
        EXPECT_NE(ts::readFile(path).find("written by " + record.get("pid") + "\n"),
                  std::string::npos);
    }
}

TEST_F(ClassDataTest, WhereNoArchiveCanBeMadeTheApplicationStartsAsWithoutTheKey) {
    image.cfg(withoutKey(cfgWithArchive));
    start(L"a");
    const std::vector<std::string> plainArgs = image.record().args();

    const struct {
        const char* what;
        std::function<void()> setUp;
        std::map<std::wstring, std::wstring> env;
        std::string trace;
        // The case changes what the configuration gives the JVM: only the archive's own
        // options can be compared then.
        bool changesConfiguredArgs = false;
    } cases[] = {
        {"the directory cannot be made",
         [this] {
             ts::makeDirs(local + L"\\Demo");
             ts::writeFile(archiveDir(), "a file in the way");
         },
         {},
         "Class-data archive: none, CreateDirectory(" + ts::utf8(archiveDir()) + ") failed"},
        {"no LOCALAPPDATA", [] {}, {{L"LOCALAPPDATA!", L""}}, "LOCALAPPDATA is not set"},
        {"a directory the runtime would take for two",
         [this] { ts::makeDirs(dir / L"semi;colon"); },
         {{L"LOCALAPPDATA", dir / L"semi;colon"}},
         "the runtime cannot open files in " + ts::utf8(dir / L"semi;colon")},
        {"a runtime without a base archive",
         [this] { DeleteFileW((image.root + L"\\runtime\\bin\\server\\classes.jsa").c_str()); },
         {},
         "the runtime has no "},
        {"a class path directory",
         [this] {
             ts::makeDirs(image.appDir() + L"\\classes");
             ts::writeFile(image.appDir() + L"\\classes\\Main.class", "class");
             std::string cfg = cfgWithArchive;
             cfg.replace(cfg.find("main.jar"), 8, "classes");
             image.cfg(cfg);
         },
         {},
         "on the class path",
         true},
        {"classes in a module path directory",
         [this] { ts::writeFile(image.appDir() + L"\\mods\\Main.class", "class"); },
         {},
         "Main.class on the module path is not a jar"},
        {"the configuration's own choice",
         [this] {
             std::string cfg = cfgWithArchive;
             cfg.replace(cfg.find("-Dconfigured=1"), 14, "-Xshare:off");
             image.cfg(cfg);
         },
         {},
         "the option -Xshare:off decides",
         true},
        {"an agent of the user's own, which the runtime refuses while it writes an archive",
         [] {},
         {{L"JAVA_TOOL_OPTIONS", L"-javaagent:Z:\\tools\\probe.jar"}},
         "the runtime writes no archive beside the agent -javaagent:Z:\\tools\\probe.jar"},
        {"the user's own choice in JAVA_TOOL_OPTIONS",
         [] {},
         {{L"JAVA_TOOL_OPTIONS", L"-Xmx1g -XX:SharedArchiveFile=mine.jsa"}},
         "the option -XX:SharedArchiveFile=mine.jsa decides"},
        {"the user's own choice in JDK_JAVA_OPTIONS",
         [] {},
         {{L"JDK_JAVA_OPTIONS", L"-XX:+AutoCreateSharedArchive"}},
         "the option -XX:+AutoCreateSharedArchive decides"},
        {"the user's own choice in _JAVA_OPTIONS",
         [] {},
         {{L"_JAVA_OPTIONS", L"-Xshare:off"}},
         "the option -Xshare:off decides"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ts::removeTree(local);
        ts::makeDirs(local);
        image.cfg(cfgWithArchive);
        ts::writeFile(image.root + L"\\runtime\\bin\\server\\classes.jsa", "base archive");
        DeleteFileW((image.appDir() + L"\\mods\\Main.class").c_str());
        c.setUp();
        const ts::ProcessResult r = start(L"a", c.env);
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        const std::vector<std::string> args = image.record().args();
        if (c.changesConfiguredArgs) {
            EXPECT_TRUE(archiveOptions(args).empty());
        } else {
            EXPECT_EQ(args, plainArgs);
        }
        EXPECT_NE(r.err.find(c.trace), std::string::npos) << r.err;
        EXPECT_FALSE(image.record().has("archive_written"));
    }
}

TEST_F(ClassDataTest, OffOrAbsentChangesNothing) {
    image.cfg(withoutKey(cfgWithArchive));
    ts::ProcessResult r = start();
    const std::vector<std::string> plainArgs = image.record().args();
    EXPECT_EQ(r.err.find("Class-data"), std::string::npos);
    for (const char* value : {"off", "sometimes"}) {
        SCOPED_TRACE(value);
        std::string cfg = cfgWithArchive;
        cfg.replace(cfg.find("app.class-data=auto"), 19, std::string("app.class-data=") + value);
        image.cfg(cfg);
        r = start();
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        EXPECT_EQ(image.record().args(), plainArgs);
        EXPECT_FALSE(exists(local + L"\\Demo"));
    }
    // An unknown value is told in the trace.
    EXPECT_NE(r.err.find("app.class-data=sometimes is neither auto nor off"), std::string::npos)
        << r.err;
}

TEST_F(ClassDataTest, PackagedApplicationsKeepTheirArchivesUnderThePackageName) {
    ts::writeFile(image.appDir() + L"\\.package", "Acme Demo\r\n");
    startForOptions();
    const std::string archive = archivePathIn(startForOptions());
    EXPECT_EQ(archive.rfind(ts::utf8(local + L"\\Acme Demo\\class-data\\Demo-"), 0), 0u) << archive;
    EXPECT_TRUE(exists(ts::wide(archive)));
}

} // namespace

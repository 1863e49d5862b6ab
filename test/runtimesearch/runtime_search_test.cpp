// An image without a runtime of its own, run on stand-in runtimes installed in folders and
// registered in this prefix's registry as each vendor's installer registers them.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CfgFile.h"
#include "LauncherImage.h"
#include "RuntimeSearch.h"
#include "TestSupport.h"

namespace ts = testing_support;
using testing_support::count;
using testing_support::Image;
using testing_support::LaunchPath;

namespace {

// The keys vendors register runtimes under; each run starts with none of them.
const wchar_t* const vendorKeys[] = {
    L"SOFTWARE\\JavaSoft",         L"SOFTWARE\\Eclipse Adoptium", L"SOFTWARE\\Eclipse Foundation",
    L"SOFTWARE\\AdoptOpenJDK",     L"SOFTWARE\\Microsoft\\JDK",   L"SOFTWARE\\Semeru",
    L"SOFTWARE\\Azul Systems",     L"SOFTWARE\\BellSoft"};

void removeVendorKeys() {
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        for (const wchar_t* key : vendorKeys) {
            RegDeleteTreeW(root, key);
            RegDeleteKeyW(root, key);
        }
    }
}

// A string value written to a key of this prefix's registry.
void writeValue(HKEY root, const std::wstring& key, const std::wstring& name,
                const std::wstring& value) {
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY,
                              nullptr, &handle, nullptr),
              ERROR_SUCCESS)
        << ts::utf8(key);
    EXPECT_EQ(RegSetValueExW(handle, name.c_str(), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    RegCloseKey(handle);
}

// A stand-in runtime installed in a folder: bin\jli.dll and a release file naming `version`.
void installRuntime(const std::wstring& home, const std::string& version,
                    const std::wstring& jli = L"jli.dll") {
    ts::makeDirs(home + L"\\bin");
    ts::copyFile(ts::standinDir() + L"\\" + jli, home + L"\\bin\\jli.dll");
    ts::writeFile(home + L"\\release", "IMPLEMENTOR=\"Test\"\nJAVA_VERSION=\"" + version + "\"\n");
}

// Makes a runtime's jli.dll say it is a 32-bit x86 image, as an installed 32-bit Java's is.
void markJliAs32Bit(const std::wstring& home) {
    const std::wstring path = home + L"\\bin\\jli.dll";
    std::string bytes = ts::readFile(path);
    ASSERT_GT(bytes.size(), 0x40u);
    const unsigned peOffset = static_cast<unsigned char>(bytes[0x3c]) |
                              static_cast<unsigned char>(bytes[0x3d]) << 8;
    ASSERT_EQ(bytes.compare(peOffset, 4, std::string("PE\0\0", 4)), 0);
    bytes[peOffset + 4] = '\x4c';
    bytes[peOffset + 5] = '\x01';
    ts::writeFile(path, bytes);
}

std::string trace(const std::wstring& home) {
    return "SetDllDirectory to: " + ts::utf8(home) + "\\bin";
}

class RuntimeSearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        removeVendorKeys();
        // The image the tool makes for an installed Java: no runtime directory.
        ts::removeTree(image.root + L"\\runtime");
        cfg("17");
    }
    void TearDown() override { removeVendorKeys(); }

    void cfg(const std::string& min, const std::string& more = std::string()) const {
        image.cfg("[Application]\napp.mainclass=app.Main\napp.runtime-min-version=" + min +
                  "\n" + more);
    }

    std::wstring home(const std::wstring& name) const { return dir / (L"java\\" + name); }

    // A runtime registered as Oracle's and Corretto's installers register one.
    std::wstring registered(const std::wstring& name, const std::string& version,
                            HKEY root = HKEY_LOCAL_MACHINE) const {
        installRuntime(home(name), version);
        writeValue(root, L"SOFTWARE\\JavaSoft\\JDK\\" + ts::wide(version), L"JavaHome", home(name));
        return home(name);
    }

    ts::ProcessResult run(std::map<std::wstring, std::wstring> env = {},
                          LaunchPath path = LaunchPath::InProcess) const {
        if (env.count(L"JAVA_HOME") == 0) {
            env.emplace(L"JAVA_HOME!", L"");
        }
        return image.run(path, std::wstring(), env);
    }

    ts::TempDir dir{L"rts"};
    // The launcher corvela-image gives an image that runs on an installed Java.
    Image image{dir / L"Demo", L"Demo", L"corvela-full.exe"};
};

struct VendorLayout {
    const char* vendor;
    HKEY root;
    const wchar_t* key;
    const wchar_t* value;
};

class VendorLayoutTest : public RuntimeSearchTest,
                         public ::testing::WithParamInterface<VendorLayout> {};

TEST_P(VendorLayoutTest, ARuntimeRegisteredThisWayIsFound) {
    const VendorLayout& layout = GetParam();
    installRuntime(home(L"vendor"), "17.0.9");
    writeValue(layout.root, layout.key, layout.value, home(L"vendor"));
    const ts::ProcessResult r = run();
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(image.record().get("call"), "JLI_Launch");
    EXPECT_NE(r.err.find(trace(home(L"vendor"))), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    EveryVendor, VendorLayoutTest,
    ::testing::Values(
        VendorLayout{"OracleJdk", HKEY_LOCAL_MACHINE, L"SOFTWARE\\JavaSoft\\JDK\\17.0.9",
                     L"JavaHome"},
        VendorLayout{"CorrettoJre", HKEY_LOCAL_MACHINE, L"SOFTWARE\\JavaSoft\\JRE\\17",
                     L"JavaHome"},
        VendorLayout{"Java8Jre", HKEY_LOCAL_MACHINE,
                     L"SOFTWARE\\JavaSoft\\Java Runtime Environment\\1.8", L"JavaHome"},
        VendorLayout{"Java8Jdk", HKEY_CURRENT_USER,
                     L"SOFTWARE\\JavaSoft\\Java Development Kit\\1.8.0_392", L"JavaHome"},
        VendorLayout{"Temurin", HKEY_LOCAL_MACHINE,
                     L"SOFTWARE\\Eclipse Adoptium\\JDK\\17.0.9.9\\hotspot\\MSI", L"Path"},
        VendorLayout{"TemurinJrePerUser", HKEY_CURRENT_USER,
                     L"SOFTWARE\\Eclipse Adoptium\\JRE\\17.0.9.9\\hotspot\\MSI", L"Path"},
        VendorLayout{"EclipseFoundation", HKEY_LOCAL_MACHINE,
                     L"SOFTWARE\\Eclipse Foundation\\JDK\\17.0.1.12\\hotspot\\MSI", L"Path"},
        VendorLayout{"AdoptOpenJdk", HKEY_LOCAL_MACHINE,
                     L"SOFTWARE\\AdoptOpenJDK\\JRE\\17.0.0.35\\hotspot\\MSI", L"Path"},
        VendorLayout{"Microsoft", HKEY_LOCAL_MACHINE,
                     L"SOFTWARE\\Microsoft\\JDK\\17.0.9.8\\hotspot\\MSI", L"Path"},
        VendorLayout{"Semeru", HKEY_LOCAL_MACHINE,
                     L"SOFTWARE\\Semeru\\JDK\\17.0.9.9-openj9\\openj9\\MSI", L"Path"},
        VendorLayout{"Zulu", HKEY_LOCAL_MACHINE, L"SOFTWARE\\Azul Systems\\Zulu\\zulu-17",
                     L"InstallationPath"},
        VendorLayout{"Liberica", HKEY_CURRENT_USER,
                     L"SOFTWARE\\BellSoft\\Liberica\\Liberica JDK 17", L"InstallationPath"}),
    [](const ::testing::TestParamInfo<VendorLayout>& info) { return info.param.vendor; });

TEST_F(RuntimeSearchTest, ThirtyTwoBitJliIsSkipped) {
    const std::wstring wanted = registered(L"x64", "17.0.9");
    installRuntime(home(L"x86"), "21.0.1");
    markJliAs32Bit(home(L"x86"));
    writeValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\JavaSoft\\JDK\\21", L"JavaHome", home(L"x86"));
    const ts::ProcessResult r = run();
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_NE(r.err.find(trace(wanted)), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("is not a 64-bit x64 image (machine 332)"), std::string::npos) << r.err;
}

TEST_F(RuntimeSearchTest, NewestThatFitsWinsAndARangeExcludes) {
    registered(L"j11", "11.0.21");
    const std::wstring wanted = registered(L"j17", "17.0.9");
    registered(L"j17old", "17.0.2", HKEY_CURRENT_USER);
    registered(L"j22", "22.0.1");
    installRuntime(home(L"noversion"), "seventeen");
    writeValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\JavaSoft\\JDK\\17.9", L"JavaHome",
               home(L"noversion"));
    cfg("17", "app.runtime-max-version=21\n");
    const ts::ProcessResult r = run({}, LaunchPath::Restart);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(count(r.err, trace(wanted)), 1u) << "the child of the restart loads it" << r.err;
    EXPECT_NE(r.err.find("Java 22.0.1 is outside Java 17 to 21"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Java 11.0.21 is outside"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("no JAVA_VERSION that reads"), std::string::npos) << r.err;
}

TEST_F(RuntimeSearchTest, JavaHomeTooOldGivesWayAndOneThatFitsWins) {
    installRuntime(home(L"old"), "11.0.21");
    const std::wstring registeredHome = registered(L"j21", "21.0.1");
    {
        const ts::ProcessResult r = run({{L"JAVA_HOME", home(L"old") + L"\\"}});
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        EXPECT_NE(r.err.find(trace(registeredHome)), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("JAVA_HOME \"" + ts::utf8(home(L"old")) +
                             "\" skipped: Java 11.0.21 is outside Java 17 or later"),
                  std::string::npos)
            << r.err;
    }
    installRuntime(home(L"fits"), "17.0.9");
    const ts::ProcessResult r = run({{L"JAVA_HOME", home(L"fits")}});
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_NE(r.err.find(trace(home(L"fits"))), std::string::npos)
        << "JAVA_HOME wins when it fits, even over a newer runtime" << r.err;
}

TEST_F(RuntimeSearchTest, TheRuntimeOfTheFirstJavaOnPathCounts) {
    registered(L"j17", "17.0.9");
    installRuntime(home(L"onpath"), "21.0.1");
    ts::copyFile(ts::binDir() + L"\\argv_echo.exe", home(L"onpath") + L"\\bin\\java.exe");
    installRuntime(home(L"later"), "23.0.1");
    ts::copyFile(ts::binDir() + L"\\argv_echo.exe", home(L"later") + L"\\bin\\java.exe");
    const std::wstring path = home(L"onpath") + L"\\bin;" + home(L"later") + L"\\bin;" +
                              image.pathListingAppDir();
    const ts::ProcessResult r = run({{L"PATH", path}});
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_NE(r.err.find(trace(home(L"onpath"))), std::string::npos) << r.err;
}

TEST_F(RuntimeSearchTest, NothingFoundSaysWhatIsNeededAndWhereToGetIt) {
    registered(L"j11", "11.0.21");
    cfg("17", "app.runtime-download-url=https://example.com/java\n");
    for (const LaunchPath path : {LaunchPath::InProcess, LaunchPath::Restart}) {
        SCOPED_TRACE(path == LaunchPath::InProcess ? "in process" : "restart");
        const ts::ProcessResult r = run({}, path);
        EXPECT_EQ(r.exitCode, 1u) << r.err;
        EXPECT_EQ(r.processes, 1u) << "no child for a runtime that is not there";
        EXPECT_EQ(r.leftRunning, 0u);
        EXPECT_NE(r.err.find("Demo needs Java 17 or later (64-bit); none was found. Looked in "
                             "JAVA_HOME, the runtimes registered in HKCU and HKLM"),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("Download Java from https://example.com/java"), std::string::npos);
        EXPECT_FALSE(image.record().has("call"));
    }
}

TEST_F(RuntimeSearchTest, BadValuesNameTheKeyAndTheValue) {
    registered(L"j17", "17.0.9");
    const struct {
        std::string min;
        std::string more;
        std::string error;
    } cases[] = {
        {"seventeen", "", "app.runtime-min-version: \"seventeen\" is not a Java version"},
        {"17.", "", "app.runtime-min-version: \"17.\" is not a Java version"},
        {"17", "app.runtime-max-version=16\n",
         "app.runtime-max-version: \"16\" is below app.runtime-min-version \"17\""},
        {"17", "app.runtime-download-url=ftp://example.com/java\n",
         "app.runtime-download-url: \"ftp://example.com/java\" is not an http:// or https://"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.min + " " + c.more);
        cfg(c.min, c.more);
        const ts::ProcessResult r = run();
        EXPECT_EQ(r.exitCode, 1u);
        EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    }
    image.cfg("[Application]\napp.mainclass=app.Main\napp.runtime-max-version=21\n");
    const ts::ProcessResult r = run();
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_NE(r.err.find("app.runtime-min-version is missing"), std::string::npos) << r.err;
}

TEST_F(RuntimeSearchTest, AnImageWithItsOwnRuntimeNeverLooks) {
    registered(L"j21", "21.0.1");
    image.runtime(L"jli.dll");
    const ts::ProcessResult r = run();
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_NE(r.err.find(trace(image.root + L"\\runtime")), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Installed runtime"), std::string::npos) << r.err;
}

// The class-data archive's name follows the runtime found: another Java, another archive.
TEST_F(RuntimeSearchTest, TheClassDataArchiveFollowsTheRuntimeFound) {
    const std::wstring local = dir / L"local";
    ts::makeDirs(local);
    ts::writeFile(image.appDir() + L"\\main.jar", "PK main jar");
    cfg("17", "app.classpath=$APPDIR\\main.jar\napp.class-data=auto\n");
    const auto archiveOption = [&]() {
        const ts::ProcessResult r = run({{L"LOCALAPPDATA", local}});
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        for (const std::string& arg : image.record().args()) {
            if (arg.rfind("-XX:ArchiveClassesAtExit=", 0) == 0) {
                return arg;
            }
        }
        ADD_FAILURE() << "no archive option: " << r.err;
        return std::string();
    };
    const auto withBaseArchive = [](const std::wstring& home) {
        ts::makeDirs(home + L"\\bin\\server");
        ts::copyFile(ts::standinDir() + L"\\jvm.dll", home + L"\\bin\\server\\jvm.dll");
        ts::writeFile(home + L"\\bin\\server\\classes.jsa", "base archive");
    };
    withBaseArchive(registered(L"j17", "17.0.9"));
    const std::string first = archiveOption();
    withBaseArchive(registered(L"j17later", "17.0.10"));
    const std::string second = archiveOption();
    EXPECT_FALSE(first.empty());
    EXPECT_NE(first, second);
}

TEST_F(RuntimeSearchTest, TheServiceLauncherRunsOnAnInstalledRuntimeToo) {
    Image server(dir / L"Server", L"Server", L"corvela-service.exe");
    ts::removeTree(server.root + L"\\runtime");
    installRuntime(home(L"server"), "17.0.9", L"server_jli.dll");
    ts::makeDirs(home(L"server") + L"\\bin\\server");
    ts::copyFile(ts::standinDir() + L"\\server_jvm.dll",
                 home(L"server") + L"\\bin\\server\\jvm.dll");
    writeValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Eclipse Adoptium\\JRE\\17.0.9.9\\hotspot\\MSI",
               L"Path", home(L"server"));
    server.cfg("[Application]\napp.mainclass=server.Main\napp.runtime-min-version=17\n"
               "[JavaOptions]\njava-options=-Dstandin.fail=7\n");
    const ts::ProcessResult r = server.run(LaunchPath::InProcess, L"", {{L"JAVA_HOME!", L""}});
    EXPECT_NE(r.out.find("server started"), std::string::npos) << r.out << r.err;
    EXPECT_NE(r.err.find(trace(home(L"server"))), std::string::npos) << r.err;
}

// The value the next handle gets: the lowest free slot of the process's handle table, so it
// grows with every handle left open. (Wine's GetProcessHandleCount always gives 0.)
uintptr_t nextHandleValue() {
    const HANDLE probe = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(probe);
    return reinterpret_cast<uintptr_t>(probe);
}

// Every registry key, file and library the search opens is closed again, whether it finds a
// runtime or raises.
TEST_F(RuntimeSearchTest, TheSearchReleasesEveryKeyAndFile) {
    registered(L"j17", "17.0.9", HKEY_CURRENT_USER);
    installRuntime(home(L"x86"), "21.0.1");
    markJliAs32Bit(home(L"x86"));
    writeValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Azul Systems\\Zulu\\zulu-21",
               L"InstallationPath", home(L"x86"));
    ts::writeFile(dir / L"fits.cfg", "[Application]\napp.runtime-min-version=17\n");
    ts::writeFile(dir / L"none.cfg", "[Application]\napp.runtime-min-version=25\n");
    const auto range = [&](const wchar_t* name) {
        return RuntimeSearch::VersionRange::of(CfgFile::load(dir / name));
    };
    const RuntimeSearch::VersionRange fits = range(L"fits.cfg");
    const RuntimeSearch::VersionRange none = range(L"none.cfg");
    const auto searchTwice = [&]() {
        EXPECT_EQ(RuntimeSearch::findInstalled(fits, L"Demo"), home(L"j17"));
        EXPECT_THROW(RuntimeSearch::findInstalled(none, L"Demo"), std::exception);
    };
    searchTwice();
    const uintptr_t before = nextHandleValue();
    for (int i = 0; i < 100; ++i) {
        searchTwice();
    }
    EXPECT_LE(nextHandleValue(), before + 5 * sizeof(HANDLE));
}

// A real Windows Java, registered as Temurin's installer registers it (with a trailing
// backslash), found beside an older stand-in and run: it prints its version.
TEST_F(RuntimeSearchTest, ARealJavaRegisteredAsTemurinIsFoundAndRuns) {
    const std::wstring runtimes = ts::env(L"CORVELA_REAL_RUNTIMES");
    ASSERT_FALSE(runtimes.empty()) << "CORVELA_REAL_RUNTIMES names no runtime directory";
    const std::wstring java17 = runtimes + L"\\java17";
    writeValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Eclipse Adoptium\\JDK\\17.0.9.9\\hotspot\\MSI",
               L"Path", java17 + L"\\");
    registered(L"j11", "11.0.21");
    image.cfg("[Application]\napp.mainclass=none.Main\napp.runtime-min-version=17\n"
              "[JavaOptions]\njava-options=-version\n");
    const ts::ProcessResult r = run();
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_NE(r.err.find(trace(java17)), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("version \"17.0.9\""), std::string::npos) << r.err;
}

// The versions the configuration names, and the range they make.
TEST(VersionRangeTest, AdmitsWhatTheKeysSay) {
    ts::TempDir dir(L"rng");
    const struct {
        const char* keys;
        const char* version;
        bool admitted;
    } cases[] = {
        {"app.runtime-min-version=17\n", "17", true},
        {"app.runtime-min-version=17\n", "17.0.0", true},
        {"app.runtime-min-version=17\n", "16.0.2", false},
        {"app.runtime-min-version=17\n", "25", true},
        {"app.runtime-min-version=17.0.5\n", "17.0.4", false},
        {"app.runtime-min-version=17.0.5\n", "17.0.10+7", true},
        {"app.runtime-min-version=17\napp.runtime-max-version=21\n", "21.0.9", true},
        {"app.runtime-min-version=17\napp.runtime-max-version=21\n", "22", false},
        {"app.runtime-min-version=17\napp.runtime-max-version=21.0.3\n", "21.0.3.1", true},
        {"app.runtime-min-version=17\napp.runtime-max-version=21.0.3\n", "21.0.4", false},
        {"app.runtime-min-version=1.8\n", "1.8.0_392", true},
        {"app.runtime-min-version=8\napp.runtime-max-version=8\n", "11.0.2", false},
        {"app.runtime-min-version=11\n", "1.8.0_392", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.keys) + " with " + c.version);
        ts::writeFile(dir / L"a.cfg", std::string("[Application]\n") + c.keys);
        const RuntimeSearch::VersionRange range =
            RuntimeSearch::VersionRange::of(CfgFile::load(dir / L"a.cfg"));
        RuntimeSearch::JavaVersion version;
        ASSERT_TRUE(RuntimeSearch::JavaVersion::parse(ts::wide(c.version), version, true));
        EXPECT_EQ(range.admits(version), c.admitted);
    }
}

TEST(JavaVersionTest, OnlyVersionsParse) {
    for (const char* text : {"", "x", "17.", ".17", "17..0", "0", "17a", "17 ", "-17", "1.8.0_",
                             "1234567"}) {
        SCOPED_TRACE(text);
        RuntimeSearch::JavaVersion version;
        EXPECT_FALSE(RuntimeSearch::JavaVersion::parse(ts::wide(text), version, true));
    }
    RuntimeSearch::JavaVersion version;
    EXPECT_FALSE(RuntimeSearch::JavaVersion::parse(L"21-ea", version))
        << "a configured version has no suffix";
    EXPECT_TRUE(RuntimeSearch::JavaVersion::parse(L"21-ea", version, true));
    EXPECT_EQ(version.feature(), 21);
    EXPECT_TRUE(RuntimeSearch::JavaVersion::parse(L"1.8.0_392", version));
    EXPECT_EQ(version.feature(), 8);
}

} // namespace

// The class-data archive with a real JVM: the bridge runtime, whose JVM is the host's Java,
// writes the archive the launcher asks for and maps it.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace ts = testing_support;

namespace {

std::wstring buildDir() {
    const std::wstring bin = ts::binDir();
    return bin.substr(0, bin.find_last_of(L"\\/"));
}

std::vector<std::wstring> withSuffix(const std::vector<std::wstring>& names,
                                     const std::wstring& suffix) {
    std::vector<std::wstring> found;
    for (const std::wstring& name : names) {
        if (name.size() > suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
            found.push_back(name);
        }
    }
    return found;
}

// Output without the runtime's log lines ("[0.010s][info][class,load] ...").
std::string withoutLogLines(const std::string& out) {
    std::string kept;
    for (const std::string& line : ts::splitLines(out)) {
        if (line.rfind("[", 0) != 0) {
            kept += line + "\n";
        }
    }
    return kept;
}

const char* const probeCfg = "[Application]\n"
                             "app.classpath=$APPDIR\\probe.jar\n"
                             "app.mainclass=cds.Probe\n"
                             "app.class-data=auto\n"
                             "[AppCDSJavaOptions]\n"
                             "java-options=-Xlog:class+load=info\n";

// An image of the probe program over the bridge runtime, made to stand for the host's Java:
// its release file and base archive.
class BridgeClassDataTest : public ::testing::Test {
protected:
    void SetUp() override {
        ts::copyTree(buildDir() + L"\\bridge\\runtime", root + L"\\runtime");
        const std::wstring hostJava = buildDir() + L"\\classdata\\host-java";
        ts::copyFile(hostJava + L"\\release", root + L"\\runtime\\release");
        ts::copyFile(hostJava + L"\\classes.jsa", root + L"\\runtime\\bin\\server\\classes.jsa");
        ts::makeDirs(root + L"\\app");
        ts::copyFile(ts::binDir() + L"\\classdata-probe.jar", root + L"\\app\\probe.jar");
        ts::copyFile(ts::binDir() + L"\\corvela-console.exe", exe());
        cfg(probeCfg);
        ts::makeDirs(local);
    }

    std::wstring exe() const { return root + L"\\Demo.exe"; }
    std::wstring archiveDir() const { return local + L"\\Demo\\class-data"; }
    void cfg(const std::string& text) const { ts::writeFile(root + L"\\app\\Demo.cfg", text); }

    ts::ProcessResult start(std::map<std::wstring, std::wstring> env = {}) const {
        env.emplace(L"LOCALAPPDATA", local);
        env.emplace(L"PATH", ts::env(L"PATH") + L";" + root + L"\\app");
        ts::ProcessResult r =
            ts::run(exe(), L"\"" + exe() + L"\" one 2", env, 300000, std::wstring());
        r.out.erase(std::remove(r.out.begin(), r.out.end(), '\r'), r.out.end());
        return r;
    }

    ts::TempDir dir{L"cdsb"};
    std::wstring root = dir / L"Demo";
    std::wstring local = dir / L"local";
};

const std::string probeOutput = "args=one|2 digits=true\ncommand=cds.Probe one 2\n";

TEST_F(BridgeClassDataTest, FirstStartMakesTheArchiveAndLaterStartsMapIt) {
    // What the application prints without the key: the same words with it, nothing more.
    cfg("[Application]\napp.classpath=$APPDIR\\probe.jar\napp.mainclass=cds.Probe\n");
    ts::ProcessResult r = start();
    ASSERT_EQ(r.exitCode, 0u) << r.err;
    ASSERT_EQ(r.out, probeOutput);
    cfg(probeCfg);

    r = start();
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(r.out, probeOutput);
    EXPECT_EQ(r.err, "");
    // The runtime wrote the archive at exit, under its process's own name.
    const std::vector<std::wstring> made = withSuffix(ts::namesIn(archiveDir()), L".tmp");
    ASSERT_EQ(made.size(), 1u);
    const std::string bytes = ts::readFile(archiveDir() + L"\\" + made[0]);
    ASSERT_GE(bytes.size(), 4096u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\xa8\xab\x0b\xf0", 4));

    // The next start moves it into place and maps it: the probe's classes come from it.
    r = start();
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_NE(r.out.find("cds.Probe source: shared objects file (top)"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("cds.Probe$Word source: shared objects file (top)"), std::string::npos);
    EXPECT_EQ(withoutLogLines(r.out), probeOutput);
    const std::vector<std::wstring> files = ts::namesIn(archiveDir());
    EXPECT_EQ(withSuffix(files, L".tmp").size(), 0u);
    EXPECT_EQ(withSuffix(files, L".jsa").size(), 1u);
}

TEST_F(BridgeClassDataTest, DamagedArchiveCostsOnlyItsBenefitAndIsReplaced) {
    ASSERT_EQ(start().exitCode, 0u);
    ASSERT_EQ(start().exitCode, 0u);
    const std::vector<std::wstring> archives = withSuffix(ts::namesIn(archiveDir()), L".jsa");
    ASSERT_EQ(archives.size(), 1u);
    const std::wstring archive = archiveDir() + L"\\" + archives[0];
    const std::string good = ts::readFile(archive);

    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        // Cut short, the host's Java 17 would end with SIGBUS mapping it.
        {"truncated", good.substr(0, good.size() / 2)},
        {"one byte flipped", good.substr(0, good.size() / 2) +
                                 static_cast<char>(good[good.size() / 2] ^ 0x40) +
                                 good.substr(good.size() / 2 + 1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetFileAttributesW(archive.c_str(), FILE_ATTRIBUTE_NORMAL);
        ts::writeFile(archive, c.bytes);
        ts::ProcessResult r = start();
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        EXPECT_EQ(r.out, probeOutput);
        EXPECT_EQ(r.err, "");

        r = start();
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        EXPECT_NE(r.out.find("cds.Probe source: shared objects file (top)"), std::string::npos)
            << r.out;
        EXPECT_EQ(ts::readFile(archive).substr(0, 4), good.substr(0, 4));
    }
}

} // namespace

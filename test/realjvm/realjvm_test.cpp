// The launchers with genuine Windows Java runtimes under Wine: arguments and class path under
// a non-ASCII install folder, streams and exit codes, per-user options, the crash log, the
// class-data archive, and what a user learns when the runtime or its options are bad.

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "BridgeSupport.h"
#include "RealJvmSupport.h"
#include "TestSupport.h"

namespace ts = testing_support;
using bridge_test::LiveProcess;
using bridge_test::Stream;
using realjvm_test::RealImage;
using realjvm_test::realRuntimeDir;
using ts::LaunchPath;

namespace {

std::string pathName(LaunchPath path) {
    return path == LaunchPath::InProcess ? "InProcess" : "Restart";
}

// Both launch paths, each with a runtime that reads its arguments in UTF-8.
struct RuntimeAndPath {
    const wchar_t* runtime;
    LaunchPath path;
};

std::string caseName(const testing::TestParamInfo<RuntimeAndPath>& info) {
    return ts::utf8(info.param.runtime) + pathName(info.param.path);
}

const RuntimeAndPath kUtf8Runtimes[] = {{L"java17", LaunchPath::InProcess},
                                        {L"java17", LaunchPath::Restart},
                                        {L"java21", LaunchPath::InProcess},
                                        {L"java21", LaunchPath::Restart}};

class ArgumentsTest : public testing::TestWithParam<RuntimeAndPath> {};

TEST_P(ArgumentsTest, ArgumentsAndClassPathUnderANonAsciiFolderReachJavaExactly) {
    ts::TempDir dir(L"realjvm-args");
    const std::wstring root = dir / L"Приложение 日本語";
    RealImage image(root, L"Tool", L"corvela-console.exe", realRuntimeDir(GetParam().runtime));
    ts::makeDirs(root + L"\\app\\библиотеки 库");
    ts::copyFile(image.appDir() + L"\\realprobe.jar",
                 root + L"\\app\\библиотеки 库\\lib.jar");
    image.cfg("app.classpath=$APPDIR\\библиотеки 库\\lib.jar\n"
              "[JavaOptions]\njava-options=-Drealprobe.show=demo.name\n"
              "java-options=-Ddemo.name=Ж日 ü\n");
    const std::wstring report = dir / L"report.txt";
    const ts::ProcessResult r = image.run(
        GetParam().path,
        L"report \"" + report + L"\" \"Ж日 ü\" plain \"two words\" \"a\\\"quote\" \"\"");
    ASSERT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(r.out, "reported\n");
    const ts::Record seen = ts::Record::read(report);
    EXPECT_EQ(seen.all("arg"),
              (std::vector<std::string>{"Ж日 ü", "plain", "two words", "a\"quote", ""}));
    EXPECT_EQ(seen.get("java.class.path"),
              ts::utf8(image.appDir() + L"\\realprobe.jar;" + image.appDir() +
                       L"\\библиотеки 库\\lib.jar"));
    EXPECT_EQ(seen.get("demo.name"), "Ж日 ü");
}

TEST_P(ArgumentsTest, AModularApplicationRunsFromTheModulePath) {
    ts::TempDir dir(L"realjvm-module");
    RealImage image(dir / L"Мод 模块", L"Tool", L"corvela-console.exe",
                    realRuntimeDir(GetParam().runtime));
    image.moduleCfg();
    const std::wstring report = dir / L"report.txt";
    const ts::ProcessResult r =
        image.run(GetParam().path, L"report \"" + report + L"\" \"Ж日 ü\"");
    ASSERT_EQ(r.exitCode, 0u) << r.err;
    const ts::Record seen = ts::Record::read(report);
    EXPECT_EQ(seen.get("module"), "realprobe");
    EXPECT_EQ(seen.all("arg"), std::vector<std::string>{"Ж日 ü"});
}

INSTANTIATE_TEST_SUITE_P(RealRuntimes, ArgumentsTest, testing::ValuesIn(kUtf8Runtimes), caseName);

class ConsoleTest : public testing::TestWithParam<LaunchPath> {
protected:
    void SetUp() override {
        if (GetParam() == LaunchPath::InProcess) {
            path.reset(
                new ts::ScopedEnv(L"PATH", ts::env(L"PATH") + L";" + ts::upper(image.appDir())));
        }
    }

    ts::TempDir dir{L"realjvm-console"};
    RealImage image{dir / L"Tool", L"Tool", L"corvela-console.exe", realRuntimeDir(L"java17")};
    std::unique_ptr<ts::ScopedEnv> path;
    ts::ScopedEnv debug{L"CORVELA_DEBUG", L"false"};
};

TEST_P(ConsoleTest, PipedInputIsAnsweredLineByLineAndTheExitCodeIsSystemExits) {
    LiveProcess tool(image.exe(), L"script", LiveProcess::Options());
    // Each answer arrives before the next command is written: nothing waits for the end.
    tool.write("out one\n");
    EXPECT_EQ(tool.nextLine(Stream::Output), "one");
    tool.write("err two\n");
    EXPECT_EQ(tool.nextLine(Stream::Error), "two");
    tool.write("exit 7\n");
    EXPECT_EQ(tool.wait(), 7u);
}

TEST_P(ConsoleTest, EndOfInputReachesJava) {
    LiveProcess tool(image.exe(), L"script", LiveProcess::Options());
    tool.write("out a\n");
    tool.closeInput();
    EXPECT_EQ(tool.wait(), 0u);
    EXPECT_EQ(tool.all(Stream::Output), "a\r\nend of input\r\n");
}

TEST_P(ConsoleTest, BothStreamsOnOnePipeKeepTheirOrder) {
    LiveProcess::Options oneOutputPipe;
    oneOutputPipe.oneOutputPipe = true;
    LiveProcess tool(image.exe(), L"interleave 200", oneOutputPipe);
    EXPECT_EQ(tool.wait(), 0u);
    std::string expected;
    for (int i = 1; i <= 200; ++i) {
        expected += "out " + std::to_string(i) + "\r\nerr " + std::to_string(i) + "\r\n";
    }
    EXPECT_EQ(tool.all(Stream::Output), expected);
}

TEST_P(ConsoleTest, LoopbackSocketsWork) {
    const ts::ProcessResult r = image.run(GetParam(), L"loopback");
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(r.out, "loopback: PING\n");
}

INSTANTIATE_TEST_SUITE_P(BothPaths, ConsoleTest,
                         testing::Values(LaunchPath::InProcess, LaunchPath::Restart),
                         [](const testing::TestParamInfo<LaunchPath>& info) {
                             return pathName(info.param);
                         });

// An image with a package, so that the launcher has per-user folders, under a LOCALAPPDATA
// of the test's own.
class PerUserTest : public testing::Test {
protected:
    PerUserTest() {
        image.package("Acme Real");
        ts::makeDirs(userDir());
    }

    std::wstring userDir() const { return dir / L"local\\Acme Real"; }
    ts::ProcessResult run(const std::wstring& args) const {
        return image.run(LaunchPath::Restart, args, {{L"LOCALAPPDATA", dir / L"local"}});
    }

    ts::TempDir dir{L"realjvm-user"};
    RealImage image{dir / L"Tool", L"Tool", L"corvela-console.exe", realRuntimeDir(L"java17")};
};

TEST_F(PerUserTest, TheUsersOwnOptionsAreSeenInsideJava) {
    ts::writeFile(userDir() + L"\\Tool.vmoptions",
                  "# a smaller heap\n-Xmx96m\n-Drealprobe.show=user.choice\n-Duser.choice=Ж\n");
    const std::wstring report = dir / L"report.txt";
    const ts::ProcessResult r = run(L"report \"" + report + L"\"");
    ASSERT_EQ(r.exitCode, 0u) << r.err;
    const ts::Record seen = ts::Record::read(report);
    EXPECT_EQ(seen.get("max-memory"), std::to_string(96LL * 1024 * 1024));
    EXPECT_EQ(seen.get("user.choice"), "Ж");
}

TEST_F(PerUserTest, ACrashOfTheJvmWritesItsReportIntoTheUsersLogs) {
    const ts::ProcessResult r = run(L"crash");
    EXPECT_NE(r.exitCode, 0u);
    EXPECT_EQ(r.out.find("still running"), std::string::npos) << r.out;
    std::vector<std::wstring> reports;
    for (const std::wstring& name : ts::namesIn(userDir() + L"\\logs")) {
        if (name.rfind(L"hs_err_pid", 0) == 0) {
            reports.push_back(name);
        }
    }
    ASSERT_EQ(reports.size(), 1u) << r.err;
    const std::string log = ts::readFile(userDir() + L"\\logs\\" + reports[0]);
    EXPECT_NE(log.find("A fatal error has been detected by the Java Runtime Environment"),
              std::string::npos);
    EXPECT_NE(log.find("EXCEPTION_ACCESS_VIOLATION"), std::string::npos);
    // HotSpot prints its crash banner, naming the report, on standard output.
    EXPECT_NE(r.out.find(ts::utf8(reports[0])), std::string::npos) << r.out;
}

// The class-data archive on a real Java 17: made on the first start, mapped on the next, as
// the runtime's own class loading log shows.
class ClassDataTest : public testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        ts::makeDirs(dir / L"local");
        std::string more = "app.class-data=auto\n";
        if (GetParam()) {
            ts::copyFile(ts::binDir() + L"\\corvela-instance.jar",
                         image.appDir() + L"\\corvela-instance.jar");
            more += "app.classpath=$APPDIR\\corvela-instance.jar\napp.single-instance=true\n";
        }
        image.cfg(more + "[JavaOptions]\njava-options=-Xlog:class+load=info\n");
    }

    ts::ProcessResult start() const {
        return image.run(LaunchPath::InProcess, L"interleave 1",
                         {{L"LOCALAPPDATA", dir / L"local"}});
    }

    static bool probeMappedFromArchive(const std::string& out) {
        return out.find("realprobe.Main source: shared objects file (top)") != std::string::npos;
    }

    ts::TempDir dir{L"realjvm-cds"};
    RealImage image{dir / L"Tool", L"Tool", L"corvela-console.exe", realRuntimeDir(L"java17")};
};

TEST_P(ClassDataTest, TheFirstStartMakesTheArchiveAndTheNextMapsTheApplicationsClasses) {
    const ts::ProcessResult first = start();
    ASSERT_EQ(first.exitCode, 0u) << first.err << first.out.substr(0, 2000);
    EXPECT_NE(first.out.find("out 1\n"), std::string::npos);
    EXPECT_FALSE(probeMappedFromArchive(first.out));
    // The runtime's own classes come from its base archive, which fetch-runtimes dumped.
    EXPECT_NE(first.out.find("java.lang.Object source: shared objects file"), std::string::npos);

    const ts::ProcessResult second = start();
    ASSERT_EQ(second.exitCode, 0u) << second.err << second.out.substr(0, 2000);
    EXPECT_NE(second.out.find("out 1\n"), std::string::npos);
    EXPECT_TRUE(probeMappedFromArchive(second.out));
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutTheInstanceAgent, ClassDataTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("WithAgent") : std::string("Plain");
                         });

// One running instance on a real Java 17: the library's listener in the JVM takes the
// requests of ten later starts made at once, half of them through the restart path.
TEST(SingleInstance, TenLaterStartsAtOnceReachTheRunningJvm) {
    ts::TempDir dir(L"realjvm-instance");
    RealImage image(dir / L"Tool", L"Tool", L"corvela-console.exe", realRuntimeDir(L"java17"));
    for (const wchar_t* jar : {L"corvela-instance.jar", L"..\\test-java\\instance-probe.jar"}) {
        const std::wstring from = ts::binDir() + L"\\" + jar;
        ts::copyFile(from, image.appDir() + from.substr(from.find_last_of(L'\\')));
    }
    ts::writeFile(image.appDir() + L"\\Tool.cfg",
                  "[Application]\napp.runtime=" + ts::utf8(image.runtimeDir) +
                      "\napp.classpath=$APPDIR\\instance-probe.jar\n"
                      "app.classpath=$APPDIR\\corvela-instance.jar\n"
                      "app.mainclass=InstanceProbe\napp.single-instance=true\n");
    ts::makeDirs(dir / L"local");
    ts::ScopedEnv local(L"LOCALAPPDATA", dir / L"local");
    ts::ScopedEnv debug(L"CORVELA_DEBUG", L"false");

    // The instance ends once it has had ten requests.
    LiveProcess first(image.exe(), L"10", LiveProcess::Options());
    ASSERT_EQ(first.nextLine(Stream::Output).rfind("instance ", 0), 0u) << first.all(Stream::Error);

    const std::wstring inProcessPath = ts::env(L"PATH") + L";" + ts::upper(image.appDir());
    std::vector<HANDLE> later;
    for (int i = 0; i < 10; ++i) {
        ts::ScopedEnv path(L"PATH", i % 2 ? inProcessPath : ts::env(L"PATH"));
        std::wstring cmd = L"\"" + image.exe() + L"\" later-" + std::to_wstring(i);
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        ASSERT_TRUE(CreateProcessW(image.exe().c_str(), &cmd[0], nullptr, nullptr, FALSE,
                                   CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi));
        CloseHandle(pi.hThread);
        later.push_back(pi.hProcess);
    }
    EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(later.size()), later.data(), TRUE, 120000),
              WAIT_OBJECT_0);
    for (size_t i = 0; i < later.size(); ++i) {
        DWORD code = 999;
        GetExitCodeProcess(later[i], &code);
        EXPECT_EQ(code, 0u) << "later start " << i;
        CloseHandle(later[i]);
    }
    EXPECT_EQ(first.wait(120000), 0u) << first.all(Stream::Error);
    std::vector<std::string> requests;
    for (const std::string& line : ts::splitLines(first.all(Stream::Output))) {
        if (line.rfind("request ", 0) == 0) {
            requests.push_back(line);
        }
    }
    EXPECT_EQ(requests.size(), 10u) << first.all(Stream::Output);
    for (int i = 0; i < 10; ++i) {
        // The probe prints each argument hex-encoded, after a "-".
        std::string hex = " -";
        for (const char c : "later-" + std::to_string(i)) {
            static const char digits[] = "0123456789abcdef";
            hex += digits[(static_cast<unsigned char>(c) >> 4) & 15];
            hex += digits[c & 15];
        }
        EXPECT_EQ(ts::count(first.all(Stream::Output), hex + "\r\n"), 1u) << "later-" << i;
    }
}

// Bad input with a real runtime: the console launcher's user learns why on the console.
struct BadInput {
    const char* name;
    const char* cfg;     // lines after the probe's own
    const char* runtime; // "" for java17; "no-jvm" and "damaged-jvm" for broken copies
    const char* saysWhy; // on standard error
    // HotSpot's own errors during its start go to standard output, as with java.exe.
    bool onOutput;
};

const BadInput kBadInputs[] = {
    {"MissingMainClass", "app.mainclass=realprobe.Missing\n", "",
     "Could not find or load main class realprobe.Missing", false},
    {"UnknownJvmOption", "[JavaOptions]\njava-options=-XX:+NoSuchOption\n", "",
     "Unrecognized VM option 'NoSuchOption'", false},
    // Beyond any address space: a heap that fits one but not the machine's memory has Wine
    // commit it until the kernel ends the process (see the README).
    {"HeapBeyondTheAddressSpace", "[JavaOptions]\njava-options=-Xmx1000000000g\n", "",
     "Could not reserve enough space", true},
    {"MissingJvmDll", "", "no-jvm", "Error: missing `server' JVM at `", false},
    {"DamagedJvmDll", "", "damaged-jvm", "Error: loading: ", false},
};

class BadInputTest : public testing::TestWithParam<BadInput> {};

TEST_P(BadInputTest, TheUserLearnsWhy) {
    ts::TempDir dir(L"realjvm-bad");
    std::wstring runtime = realRuntimeDir(L"java17");
    const std::string broken = GetParam().runtime;
    if (!broken.empty()) {
        // The launcher's part of a runtime (jli.dll, java.dll and what they load), and the
        // JVM missing or replaced by garbage.
        const std::wstring copy = dir / L"runtime";
        ts::makeDirs(copy + L"\\bin\\server");
        ts::makeDirs(copy + L"\\lib");
        for (const wchar_t* dll : {L"jli.dll", L"java.dll", L"vcruntime140.dll"}) {
            ts::copyFile(runtime + L"\\bin\\" + dll, copy + L"\\bin\\" + dll);
        }
        ts::copyFile(runtime + L"\\release", copy + L"\\release");
        ts::copyFile(runtime + L"\\lib\\jvm.cfg", copy + L"\\lib\\jvm.cfg");
        if (broken == "damaged-jvm") {
            ts::writeFile(copy + L"\\bin\\server\\jvm.dll", std::string(4096, 'x'));
        }
        runtime = copy;
    }
    RealImage image(dir / L"Tool", L"Tool", L"corvela-console.exe", runtime);
    image.cfg(GetParam().cfg);
    const ts::ProcessResult r = image.run(LaunchPath::Restart, L"interleave 1");
    EXPECT_NE(r.exitCode, 0u);
    EXPECT_EQ(r.out.find("out 1"), std::string::npos);
    const std::string& said = GetParam().onOutput ? r.out : r.err;
    EXPECT_NE(said.find(GetParam().saysWhy), std::string::npos) << r.out << r.err;
}

INSTANTIATE_TEST_SUITE_P(RealRuntime, BadInputTest, testing::ValuesIn(kBadInputs),
                         [](const testing::TestParamInfo<BadInput>& info) {
                             return std::string(info.param.name);
                         });

} // namespace

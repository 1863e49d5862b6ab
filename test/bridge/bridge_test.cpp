// The bridge runtime with the host's Java: live streams through both launch paths, the end
// of a program through the invocation interface, and class-data archives at Windows paths.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "BridgeSupport.h"
#include "LauncherImage.h"
#include "TestSupport.h"
#include "UnixPaths.h"

namespace ts = testing_support;
using bridge_test::BridgeImage;
using bridge_test::LineReader;
using bridge_test::LiveProcess;
using bridge_test::Stream;
using ts::LaunchPath;

namespace {

class StreamsTest : public testing::TestWithParam<LaunchPath> {
protected:
    void SetUp() override {
        if (GetParam() == LaunchPath::InProcess) {
            path.reset(new ts::ScopedEnv(L"PATH", image.pathListingAppDir()));
        }
    }

    ts::TempDir dir{L"bridge"};
    BridgeImage image{dir / L"Tool", L"Tool", L"corvela-console.exe"};
    std::unique_ptr<ts::ScopedEnv> path;
    ts::ScopedEnv debug{L"CORVELA_DEBUG", L"false"};
};

TEST_P(StreamsTest, ScriptOnStandardInputIsAnsweredLineByLine) {
    LiveProcess tool(image.exe(), L"script", LiveProcess::Options());
    // Which path the launch took: in process "PATH" ends with the application directory
    // in capitals, as this test set it; the restart appends it as it is. (Wine hands the
    // Windows "PATH" to a Unix program as WINEPATH.)
    tool.write("env WINEPATH\n");
    const std::string appDir =
        ts::utf8(GetParam() == LaunchPath::InProcess ? ts::upper(image.appDir()) : image.appDir());
    const std::string seenPath = tool.nextLine(Stream::Output);
    EXPECT_EQ(seenPath.substr(seenPath.size() - std::min(seenPath.size(), appDir.size() + 1)),
              ";" + appDir)
        << seenPath;
    // Each answer arrives before the next command is written: nothing waits for the end.
    tool.write("out one\n");
    EXPECT_EQ(tool.nextLine(Stream::Output), "one");
    tool.write("err two\n");
    EXPECT_EQ(tool.nextLine(Stream::Error), "two");
    tool.write("out three\n");
    EXPECT_EQ(tool.nextLine(Stream::Output), "three");
    tool.write("exit 7\n");
    EXPECT_EQ(tool.wait(), 7u);
}

TEST_P(StreamsTest, EndOfInputReachesTheProgram) {
    LiveProcess tool(image.exe(), L"script", LiveProcess::Options());
    tool.write("out a\n");
    tool.closeInput();
    EXPECT_EQ(tool.wait(), 0u);
    EXPECT_EQ(tool.all(Stream::Output), "a\nend of input\n");
    EXPECT_EQ(tool.all(Stream::Error), "");
}

TEST_P(StreamsTest, BothStreamsOnOnePipeKeepTheirOrder) {
    LiveProcess::Options oneOutputPipe;
    oneOutputPipe.oneOutputPipe = true;
    LiveProcess tool(image.exe(), L"interleave 300", oneOutputPipe);
    EXPECT_EQ(tool.wait(), 0u);
    std::string expected;
    for (int i = 1; i <= 300; ++i) {
        expected += "out " + std::to_string(i) + "\nerr " + std::to_string(i) + "\n";
    }
    EXPECT_EQ(tool.all(Stream::Output), expected);
}

INSTANTIATE_TEST_SUITE_P(BothPaths, StreamsTest,
                         testing::Values(LaunchPath::InProcess, LaunchPath::Restart),
                         [](const testing::TestParamInfo<LaunchPath>& info) {
                             return info.param == LaunchPath::InProcess ? "InProcess" : "Restart";
                         });

TEST(Lifetime, ProgramWhoseLauncherIsKilledEndsWithItsShutdownHooks) {
    ts::TempDir dir(L"bridge-kill");
    BridgeImage image(dir / L"Tool", L"Tool", L"corvela-console.exe");
    ts::ScopedEnv path(L"PATH", image.pathListingAppDir());
    const std::wstring marker = dir / L"hook.txt";
    LiveProcess tool(image.exe(),
                     L"hook \"" + ts::wide(bridge::UnixPaths().unixPath(marker)) + L"\"",
                     LiveProcess::Options());
    ASSERT_EQ(tool.nextLine(Stream::Output), "ready") << tool.all(Stream::Error);
    TerminateProcess(tool.process(), 9);
    EXPECT_TRUE(ts::waitForFileText(marker, "shutdown hook ran\n"));
}

// The invocation interface as a native caller sees it: slot numbers of the Java runtime's
// jni.h.
typedef long jint;
typedef int(__stdcall* JliLaunch)(int, char**, int, const char**, int, const char**, const char*,
                                  const char*, const char*, const char*, unsigned char,
                                  unsigned char, unsigned char, int);
typedef jint(__stdcall* GetCreatedJavaVMs)(void**, jint, jint*);
typedef jint(__stdcall* AttachCurrentThread)(void* vm, void** env, void* args);
typedef void*(__stdcall* FindClass)(void* env, const char* name);
typedef void*(__stdcall* GetStaticMethodID)(void* env, void* cls, const char* name,
                                            const char* signature);
typedef void(__cdecl* CallStaticVoidMethod)(void* env, void* cls, void* method, ...);
typedef unsigned char(__stdcall* ExceptionCheck)(void* env);
typedef void(__stdcall* ExceptionClear)(void* env);

template <class F> F slot(void* table, size_t index) {
    return reinterpret_cast<F>((*static_cast<void***>(table))[index]);
}

jint createdVms(GetCreatedJavaVMs getVms, void*& vm) {
    jint count = -1;
    vm = nullptr;
    EXPECT_EQ(getVms(&vm, 1, &count), 0);
    return count;
}

// JLI_Launch on a thread of its own, as a launcher that keeps its main thread calls it.
struct LaunchThread {
    JliLaunch launch;
    std::vector<std::string> args;
    int result = -1;

    static DWORD WINAPI run(LPVOID param) {
        LaunchThread* self = static_cast<LaunchThread*>(param);
        std::vector<char*> argv;
        for (std::string& arg : self->args) {
            argv.push_back(&arg[0]);
        }
        self->result = self->launch(static_cast<int>(argv.size()), argv.data(), 0, nullptr, 0,
                                    nullptr, "17", "17", "java", "java", 0, 1, 0, 0);
        return 0;
    }
};

// Standard handles of this process replaced by pipes while a launch in it starts, so its
// output can be read; the launch keeps the handles it got.
struct PipedStandardHandles {
    PipedStandardHandles() {
        HANDLE outRead, errRead;
        CreatePipe(&outRead, &outWrite, nullptr, 0);
        CreatePipe(&errRead, &errWrite, nullptr, 0);
        CreatePipe(&inRead, &inWrite, nullptr, 0);
        out.reset(new LineReader(outRead));
        err.reset(new LineReader(errRead));
        SetStdHandle(STD_INPUT_HANDLE, inRead);
        SetStdHandle(STD_OUTPUT_HANDLE, outWrite);
        SetStdHandle(STD_ERROR_HANDLE, errWrite);
    }
    // A test that fails half-way ends the streams too, so that their readers end.
    ~PipedStandardHandles() {
        restore();
        close();
    }
    void restore() {
        SetStdHandle(STD_INPUT_HANDLE, savedIn);
        SetStdHandle(STD_OUTPUT_HANDLE, savedOut);
        SetStdHandle(STD_ERROR_HANDLE, savedErr);
    }
    // Once the launch has returned: its streams end. The launch's input relay may still
    // read the input pipe, so only its write end goes.
    void close() {
        for (HANDLE* h : {&outWrite, &errWrite, &inWrite}) {
            if (*h) {
                CloseHandle(*h);
                *h = nullptr;
            }
        }
    }

    const HANDLE savedIn = GetStdHandle(STD_INPUT_HANDLE);
    const HANDLE savedOut = GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE savedErr = GetStdHandle(STD_ERROR_HANDLE);
    HANDLE outWrite, errWrite, inRead, inWrite;
    std::unique_ptr<LineReader> out;
    std::unique_ptr<LineReader> err;
};

TEST(InvocationInterface, SystemExitEndsTheProgramAfterItsShutdownHooks) {
    const std::wstring runtime = bridge_test::bridgeRuntimeDir() + L"\\bin";
    const HMODULE jli = LoadLibraryW((runtime + L"\\jli.dll").c_str());
    const HMODULE jvm = LoadLibraryW((runtime + L"\\server\\jvm.dll").c_str());
    ASSERT_TRUE(jli && jvm);
    const auto getVms = reinterpret_cast<GetCreatedJavaVMs>(
        reinterpret_cast<void*>(GetProcAddress(jvm, "JNI_GetCreatedJavaVMs")));
    ASSERT_TRUE(getVms);
    void* vm = nullptr;
    EXPECT_EQ(createdVms(getVms, vm), 0) << "before the launch";

    std::unique_ptr<LaunchThread> launch(new LaunchThread{
        reinterpret_cast<JliLaunch>(reinterpret_cast<void*>(GetProcAddress(jli, "JLI_Launch"))),
        {"server.exe", "-classpath", ts::utf8(bridge_test::probeJar()), "probe.Main", "hook"}});
    PipedStandardHandles piped;
    const HANDLE thread = CreateThread(nullptr, 0, LaunchThread::run, launch.get(), 0, nullptr);
    const std::string ready = piped.out->nextLine();
    ASSERT_EQ(ready, "ready") << piped.err->all();

    ASSERT_EQ(createdVms(getVms, vm), 1);
    void* env = nullptr;
    ASSERT_EQ(slot<AttachCurrentThread>(vm, 4)(vm, &env, nullptr), 0);
    ASSERT_TRUE(env);
    EXPECT_EQ(slot<FindClass>(env, 6)(env, "java/lang/Thread"), nullptr);
    EXPECT_TRUE(slot<ExceptionCheck>(env, 228)(env));
    slot<ExceptionClear>(env, 17)(env);
    void* system = slot<FindClass>(env, 6)(env, "java/lang/System");
    ASSERT_TRUE(system);
    void* exit = slot<GetStaticMethodID>(env, 113)(env, system, "exit", "(I)V");
    ASSERT_TRUE(exit);
    EXPECT_FALSE(slot<ExceptionCheck>(env, 228)(env));
    // Returns once the program has ended; what it has to say goes to standard error.
    slot<CallStaticVoidMethod>(env, 141)(env, system, exit, 0);
    piped.restore();

    const bool launchReturned = WaitForSingleObject(thread, 60000) == WAIT_OBJECT_0;
    CloseHandle(thread);
    if (!launchReturned) {
        // Still in use by the launch, which runs on.
        launch.release();
    }
    ASSERT_TRUE(launchReturned) << "JLI_Launch had not returned a minute after System.exit\n"
                                << piped.err->all();
    EXPECT_EQ(launch->result, 0);
    piped.close();
    EXPECT_EQ(piped.out->nextLine(), "shutdown hook ran");
    EXPECT_EQ(piped.out->nextLine(), "");
    EXPECT_TRUE(piped.err->waitForEnd());
    EXPECT_EQ(piped.err->all().find("bridge:"), std::string::npos) << piped.err->all();
    EXPECT_EQ(createdVms(getVms, vm), 0) << "after the launch";
}

// One line of CORVELA_BRIDGE_TIMES: wall and CPU seconds of the host's Java, its status.
struct Times {
    double wall = -1;
    double user = -1;
    double sys = -1;
    int status = -1;
};

std::vector<Times> readTimes(const std::wstring& path) {
    std::vector<Times> all;
    for (const std::string& line : ts::splitLines(ts::readFile(path))) {
        Times t;
        EXPECT_EQ(sscanf(line.c_str(), "wall=%lf user=%lf sys=%lf status=%d", &t.wall, &t.user,
                         &t.sys, &t.status),
                  4)
            << line;
        all.push_back(t);
    }
    return all;
}

TEST(ClassData, ArchiveWrittenAtExitToAWindowsPathIsMappedOnTheNextStart) {
    // The image under a path without blanks: the runtime does not take classes from the
    // archive for a class path entry whose path has one. The archive and the log may.
    ts::TempDir dir(L"bridge-cds");
    BridgeImage image(dir / L"Tool", L"Tool", L"corvela-console.exe");
    const std::wstring data = dir / L"class data";
    ts::makeDirs(data);
    const std::wstring archive = data + L"\\probe.jsa";
    const std::wstring log = data + L"\\class load.log";
    const std::wstring times = data + L"\\times.txt";
    const std::map<std::wstring, std::wstring> env = {{L"PATH", image.pathListingAppDir()},
                                                      {L"CORVELA_BRIDGE_TIMES", times}};

    image.cfg("[JavaOptions]\njava-options=-XX:ArchiveClassesAtExit=" + ts::utf8(archive) + "\n");
    ts::ProcessResult first = ts::run(image.exe(), L"\"" + image.exe() + L"\" args made", env);
    EXPECT_EQ(first.exitCode, 0u) << first.err;
    EXPECT_EQ(first.out, "arg[0] = [made]\n");
    ASSERT_NE(GetFileAttributesW(archive.c_str()), INVALID_FILE_ATTRIBUTES) << first.err;

    image.cfg("[JavaOptions]\njava-options=-Xshare:auto\njava-options=-XX:SharedArchiveFile=" +
              ts::utf8(archive) + "\njava-options=-Xlog:class+load:file=" + ts::utf8(log) + "\n");
    ts::ProcessResult second = ts::run(image.exe(), L"\"" + image.exe() + L"\" args mapped", env);
    EXPECT_EQ(second.exitCode, 0u) << second.err;
    EXPECT_EQ(second.out, "arg[0] = [mapped]\n");
    std::string probeLoaded;
    for (const std::string& line : ts::splitLines(ts::readFile(log))) {
        if (line.find(" probe.") != std::string::npos) {
            probeLoaded += line + "\n";
        }
    }
    EXPECT_NE(probeLoaded.find("probe.Main source: shared objects file (top)"), std::string::npos)
        << probeLoaded << second.err;

    const std::vector<Times> runs = readTimes(times);
    ASSERT_EQ(runs.size(), 2u);
    for (const Times& t : runs) {
        EXPECT_GT(t.wall, 0.0);
        EXPECT_GT(t.user + t.sys, 0.0);
        EXPECT_EQ(t.status, 0);
    }
}

} // namespace

// Jvm: the argument list from the configuration, and the launch through the stand-in.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <vector>

#include <fcntl.h>
#include <io.h>

#include "CfgFile.h"
#include "ErrorHandling.h"
#include "JvmLauncher.h"
#include "Log.h"
#include "LogCapture.h"
#include "SysInfo.h"
#include "Raises.h"
#include "TestSupport.h"

namespace ts = testing_support;

namespace {

class JvmTest : public ::testing::Test {
protected:
    void SetUp() override { appPath = L"-Dcorvela.app-path=" + SysInfo::getProcessModulePath(); }

    tstring_array argsFrom(const CfgFile& cfg) {
        Jvm jvm;
        jvm.initFromConfigFile(cfg, SysInfo::getProcessModulePath());
        return jvm.getArguments();
    }

    ts::CapturedLog capture;
    tstring appPath;
    ts::TempDir dir;
};

TEST_F(JvmTest, ArgumentsFollowTheFixedOrder) {
    struct Property {
        const SectionKey& section;
        const PropertyKey& name;
        tstring_array values;
    };
    struct Case {
        const char* what;
        std::vector<Property> properties;
        tstring_array expected; // "$APPPATH" stands for the app-path property
    } cases[] = {
        {"main jar",
         {{SectionName::Application, PropertyName::mainjar, {L"C:\\a\\main.jar"}},
          {SectionName::ArgOptions, PropertyName::arguments, {L"configured"}}},
         {L"$APPPATH", L"-jar", L"C:\\a\\main.jar", L"configured"}},
        {"main module",
         {{SectionName::Application, PropertyName::modulepath, {L"m1", L"m2"}},
          {SectionName::Application, PropertyName::mainmodule, {L"old", L"app/app.Main"}}},
         {L"--module-path", L"m1", L"--module-path", L"m2", L"$APPPATH", L"-m", L"app/app.Main"}},
        {"class path, options and arguments",
         {{SectionName::Application, PropertyName::classpath, {L"a.jar", L"b.jar", L"c.jar"}},
          {SectionName::Application, PropertyName::mainclass, {L"app.Main"}},
          {SectionName::JavaOptions, PropertyName::javaOptions, {L"-Xmx1g", L"", L"-Dk=v=w"}},
          {SectionName::ArgOptions, PropertyName::arguments, {L"x", L"", L"y z"}}},
         {L"-classpath", L"a.jar;b.jar;c.jar", L"-Xmx1g", L"", L"-Dk=v=w", L"$APPPATH", L"app.Main",
          L"x", L"", L"y z"}},
        // Every main kind that is set appears, in the fixed order; nothing else is checked.
        {"every main kind",
         {{SectionName::Application, PropertyName::mainjar, {L"j.jar"}},
          {SectionName::Application, PropertyName::mainclass, {L"C"}},
          {SectionName::Application, PropertyName::mainmodule, {L"m/C"}},
          {SectionName::Application, PropertyName::runtime, {L"ignored here"}},
          {SectionName::JavaOptions, PropertyName::mainjar, {L"wrong section"}}},
         {L"$APPPATH", L"-m", L"m/C", L"C", L"-jar", L"j.jar"}},
        {"nothing configured", {}, {L"$APPPATH"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CfgFile cfg;
        for (const Property& property : c.properties) {
            cfg.replaceProperty(property.section, property.name, property.values);
        }
        tstring_array expected = c.expected;
        std::replace(expected.begin(), expected.end(), tstring(L"$APPPATH"), appPath);
        EXPECT_EQ(argsFrom(cfg), expected);
    }
}

TEST_F(JvmTest, SplashOptionOnlyForAnExistingFile) {
    const tstring splash = dir / L"splash.png";
    ts::writeFile(splash, "png");
    CfgFile present;
    present
        .replaceProperty(SectionName::Application, PropertyName::splash, {L"missing.png", splash})
        .replaceProperty(SectionName::JavaOptions, PropertyName::javaOptions, {L"-Xss1m"});
    EXPECT_EQ(argsFrom(present), (tstring_array{L"-splash:" + splash, L"-Xss1m", appPath}));

    capture.records.clear();
    CfgFile missing;
    const tstring gone = dir / L"gone.png";
    missing.replaceProperty(SectionName::Application, PropertyName::splash, {gone});
    Jvm jvm;
    jvm.initFromConfigFile(missing, SysInfo::getProcessModulePath());
    EXPECT_EQ(jvm.getArguments(), tstring_array{appPath});
    EXPECT_FALSE(jvm.hasSplashOption());
    const auto warning = std::find_if(capture.records.begin(), capture.records.end(),
                                      [](const LogRecord& r) { return r.levelName == L"WARNING"; });
    ASSERT_NE(warning, capture.records.end());
    EXPECT_EQ(warning->message, L"Splash property ignored. File \"" + gone + L"\" not found");
    EXPECT_EQ(warning->functionName, L"Jvm::initFromConfigFile");

    CfgFile argument;
    argument.replaceProperty(SectionName::ArgOptions, PropertyName::arguments, {L"-splash:x.png"});
    Jvm withArgument;
    withArgument.initFromConfigFile(argument, SysInfo::getProcessModulePath());
    EXPECT_TRUE(withArgument.hasSplashOption());
    EXPECT_FALSE(Jvm().hasSplashOption());
}

TEST_F(JvmTest, LifetimeIsTraced) {
    tstring id;
    {
        Jvm jvm;
        id = (tstrings::Builder() << L"Jvm(" << static_cast<const void*>(&jvm) << L")").tstr();
    }
    ASSERT_EQ(capture.records.size(), 2u);
    EXPECT_EQ(capture.records[0].message, id + L"::Jvm()");
    EXPECT_EQ(capture.records[1].message, id + L"::~Jvm()");
}

TEST_F(JvmTest, StepOptionsFollowTheConfiguredOnesAndPrecedeTheMain) {
    CfgFile cfg;
    cfg.replaceProperty(SectionName::Application, PropertyName::mainclass, {L"app.Main"});
    cfg.replaceProperty(SectionName::JavaOptions, PropertyName::javaOptions, {L"-Xmx1g"});
    cfg.replaceProperty(SectionName::ArgOptions, PropertyName::arguments, {L"a"});
    Jvm jvm;
    jvm.initFromConfigFile(cfg, L"C:\\image\\Demo.exe");
    jvm.addOption(L"-Xmx2g").addOption(L"-Dstep=2");
    EXPECT_EQ(jvm.getArguments(),
              (tstring_array{L"-Xmx1g", L"-Dcorvela.app-path=C:\\image\\Demo.exe", L"-Xmx2g",
                             L"-Dstep=2", L"app.Main", L"a"}));
}

// Captures what the process writes to its standard error stream.
class StderrCapture {
public:
    explicit StderrCapture(const std::wstring& path) : path(path) {
        fflush(stderr);
        saved = _dup(_fileno(stderr));
        file = _wfopen(path.c_str(), L"wb");
        _dup2(_fileno(file), _fileno(stderr));
    }
    std::string finish() {
        fflush(stderr);
        _dup2(saved, _fileno(stderr));
        _close(saved);
        fclose(file);
        return ts::readFile(path);
    }

private:
    std::wstring path;
    int saved;
    FILE* file;
};

class LaunchTest : public JvmTest {
protected:
    ts::Record launch(const tstring_array& args, const std::wstring& exitCode, bool& raised,
                      std::string& message) {
        const std::wstring record = dir / L"record.txt";
        DeleteFileW(record.c_str());
        ts::ScopedEnv recordEnv(L"STANDIN_RECORD", record);
        ts::ScopedEnv exitEnv(L"STANDIN_EXIT", exitCode);
        ts::ScopedEnv names(L"STANDIN_ENV_NAMES", L"CORVELA_TEST_VAR;CORVELA_TEST_EMPTY");
        ts::ScopedEnv var(L"CORVELA_TEST_VAR", L"", true);
        Jvm jvm;
        jvm.setLibraryPath(ts::standinDir() + L"\\jli.dll");
        for (const tstring& arg : args) {
            jvm.appendArgument(arg);
        }
        jvm.addEnvironmentVariable(L"CORVELA_TEST_VAR", L"set \u00e9");
        jvm.addEnvironmentVariable(L"CORVELA_TEST_EMPTY", L"");
        raised = false;
        try {
            jvm.launch();
        } catch (const CvErrorBase& e) {
            raised = true;
            message = e.bareMessage();
        }
        return ts::Record::read(record);
    }
};

TEST_F(LaunchTest, TheStandInReceivesTheExactCall) {
    const tstring_array args = {L"C:\\app\\Demo.exe", L"-Dx=caf\u00e9", L"", L"a b \"q\"",
                                L"\u4f60"};
    bool raised = true;
    std::string message;
    const ts::Record record = launch(args, L"0", raised, message);
    EXPECT_FALSE(raised) << message;
    EXPECT_EQ(record.get("argc"), "5");
    std::vector<std::string> expected;
    for (const tstring& arg : args) {
        expected.push_back(tstrings::toACP(arg));
    }
    EXPECT_EQ(record.args(), expected);
    EXPECT_EQ(record.get("argv_terminated"), "1");
    const std::pair<const char*, const char*> constants[] = {
        {"jargc", "0"},        {"jargv", "null"},    {"appclassc", "0"},  {"appclassv", "null"},
        {"fullversion", "[]"}, {"dotversion", "[]"}, {"pname", "[java]"}, {"lname", "[java]"},
        {"javaargs", "0"},     {"cpwildcard", "0"},  {"javaw", "0"},      {"ergo", "0"},
    };
    for (const auto& c : constants) {
        EXPECT_EQ(record.get(c.first), c.second) << c.first;
    }
    // The environment of the block is set before the call.
    EXPECT_EQ(record.get("env.CORVELA_TEST_VAR"), "set \xc3\xa9");
    EXPECT_TRUE(record.has("env.CORVELA_TEST_EMPTY"));
    EXPECT_EQ(ts::env(L"CORVELA_TEST_EMPTY"), L"");
}

TEST_F(LaunchTest, NonZeroResultIsAFailedLaunch) {
    bool raised = false;
    std::string message;
    const ts::Record record = launch({L"exe"}, L"3", raised, message);
    EXPECT_TRUE(raised);
    EXPECT_EQ(message, "Failed to launch JVM");
    EXPECT_EQ(record.get("argc"), "1");
}

TEST_F(LaunchTest, MissingLibraryAndMissingExport) {
    for (const tstring& lib : {dir / L"missing.dll", ts::standinDir() + L"\\jli_nolaunch.dll"}) {
        Jvm jvm;
        jvm.setLibraryPath(lib).appendArgument(L"exe");
        const std::string expected =
            lib == dir / L"missing.dll"
                ? "LoadLibraryW(" + ts::utf8(lib) + ") failed."
                : "GetProcAddress(" + ts::utf8(lib) + ", JLI_Launch) failed.";
        EXPECT_TRUE(ts::raisesErrorStartingWith([&] { jvm.launch(); }, expected));
    }
}

TEST_F(LaunchTest, DebugLinesOnlyWhenTheSwitchIsExactlyTrue) {
    struct Case {
        const wchar_t* value;
        bool unset;
        bool printed;
    } cases[] = {{L"true", false, true},   {L"TRUE", false, false},  {L"True", false, false},
                 {L" true", false, false}, {L"true ", false, false}, {L"1", false, false},
                 {L"", false, false},      {L"", true, false}};
    for (const Case& c : cases) {
        ts::ScopedEnv debug(L"CORVELA_DEBUG", c.value, c.unset);
        StderrCapture err(dir / L"stderr.txt");
        bool raised = false;
        std::string message;
        launch({L"C:\\app\\Demo.exe", L"-cp"}, L"0", raised, message);
        const std::string printed = err.finish();
        if (!c.printed) {
            EXPECT_EQ(printed, "") << ts::utf8(c.value);
            continue;
        }
        EXPECT_EQ(printed, "jli lib: [" + ts::utf8(ts::standinDir()) +
                               "\\jli.dll]\n"
                               "jli arg[0]: [C:\\app\\Demo.exe]\n"
                               "jli arg[1]: [-cp]\n"
                               "env var[0]: CORVELA_TEST_VAR=[set \xc3\xa9]\n"
                               "env var[1]: CORVELA_TEST_EMPTY=[]\n");
    }
}

} // namespace

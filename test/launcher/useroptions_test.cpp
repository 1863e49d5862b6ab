// A user's JVM options file, as an installed image's launch reads it.
#include <gtest/gtest.h>

#include <windows.h>

#include "LauncherImage.h"
#include "TestSupport.h"

namespace ts = testing_support;
using testing_support::count;
using testing_support::Image;
using testing_support::LaunchPath;

namespace {

const char* const vendorCfg = "[Application]\napp.mainclass=app.Main\n"
                              "[JavaOptions]\njava-options=-Xmx64m\n";

// An installed image: package Pkg, and per-user roots of its own.
class UserOptionsTest : public ::testing::Test {
protected:
    UserOptionsTest() {
        image.cfg(vendorCfg);
        ts::writeFile(image.appDir() + L"\\.package", "Pkg\n");
        ts::makeDirs(local + L"\\Pkg");
        ts::makeDirs(roaming + L"\\Pkg");
    }

    std::map<std::wstring, std::wstring> roots() const {
        return {{L"LOCALAPPDATA", local}, {L"APPDATA", roaming}};
    }

    ts::ProcessResult run(LaunchPath path = LaunchPath::InProcess,
                          const std::wstring& debug = L"true") const {
        std::map<std::wstring, std::wstring> env = roots();
        env[L"CORVELA_DEBUG"] = debug;
        return image.run(path, L"", env);
    }

    void options(const std::wstring& root, const std::string& text) const {
        ts::writeFile(root + L"\\Pkg\\Demo.vmoptions", text);
    }

    std::wstring errorFileOption() const {
        return L"-XX:ErrorFile=" + local + L"\\Pkg\\logs\\hs_err_pid%p.log";
    }

    // The vendor's option, the launcher's, then the user's; the main class last.
    std::vector<std::string> argsWith(const std::vector<std::wstring>& userOptions,
                                      const std::wstring& mainClass = L"app.Main") const {
        std::vector<std::string> args = {ts::utf8(image.exe()), "-Xmx64m",
                                         ts::utf8(L"-Dcorvela.app-path=" + image.exe()),
                                         ts::utf8(errorFileOption())};
        for (const std::wstring& option : userOptions) {
            args.push_back(ts::utf8(option));
        }
        args.push_back(ts::utf8(mainClass));
        return args;
    }

    ts::TempDir dir{L"opt"};
    Image image{dir / L"Demo"};
    std::wstring local = dir / L"local";
    std::wstring roaming = dir / L"roaming";
};

TEST_F(UserOptionsTest, OptionsFollowTheVendorsOnBothLaunchPaths) {
    struct Case {
        const char* what;
        std::string localFile;   // empty: none
        std::string roamingFile; // empty: none
        std::vector<std::wstring> options;
    } cases[] = {
        {"heap over the vendor's", "-Xmx2g\n", "", {L"-Xmx2g"}},
        {"non-ASCII -D",
         "-Duser.label=Jos\xc3\xa9 \xd0\xa2\xd0\xb5\xd1\x81\xd1\x82\n",
         "",
         {L"-Duser.label=Jos\u00e9 \u0422\u0435\u0441\u0442"}},
        {"comments, blanks, byte-order mark and CR LF",
         "\xEF\xBB\xBF# heap\r\n\r\n  -Xmx1g  \r\n#-Xss1m\r\n-Xss2m\r\n",
         "",
         {L"-Xmx1g", L"-Xss2m"}},
        {"no file", "", "", {}},
        {"roaming root alone", "", "-Xmx3g\n", {L"-Xmx3g"}},
        {"local root first", "-Xmx4g\n", "-Xmx3g\n", {L"-Xmx4g"}},
    };
    for (const Case& c : cases) {
        DeleteFileW((local + L"\\Pkg\\Demo.vmoptions").c_str());
        DeleteFileW((roaming + L"\\Pkg\\Demo.vmoptions").c_str());
        if (!c.localFile.empty()) {
            options(local, c.localFile);
        }
        if (!c.roamingFile.empty()) {
            options(roaming, c.roamingFile);
        }
        for (LaunchPath path : {LaunchPath::InProcess, LaunchPath::Restart}) {
            SCOPED_TRACE(std::string(c.what) +
                         (path == LaunchPath::InProcess ? ", in process" : ", restart"));
            const ts::ProcessResult r = run(path);
            EXPECT_EQ(r.exitCode, 0u) << r.err;
            EXPECT_EQ(image.record().args(), argsWith(c.options));
        }
    }
}

TEST_F(UserOptionsTest, ARefusedLineFailsBeforeAnyChildNamingFileAndLine) {
    options(local, "-Xmx2g\n# the app\n-jar other.jar\n");
    const std::string message = "Error in the user JVM options file \"" + ts::utf8(local) +
                                "\\Pkg\\Demo.vmoptions\" at line 3: \"-jar " +
                                "other.jar\" is not allowed here: -jar, -cp, -classpath, " +
                                "--class-path, -p, --module-path, -m, --module and -splash: " +
                                "belong to the application's own configuration";
    for (LaunchPath path : {LaunchPath::InProcess, LaunchPath::Restart}) {
        // Without the trace, standard error holds the message box's text alone.
        const ts::ProcessResult r = run(path, L"false");
        EXPECT_EQ(r.exitCode, 1u);
        EXPECT_EQ(r.err, message + "\n");
        EXPECT_FALSE(image.record().has("call"));
    }
    const ts::ProcessResult r = run(LaunchPath::Restart);
    EXPECT_EQ(count(r.err, "CreateProcess"), 0u) << r.err;
}

TEST_F(UserOptionsTest, WithoutAPackageNoFileIsRead) {
    options(local, "-Xmx2g\n");
    DeleteFileW((image.appDir() + L"\\.package").c_str());
    // Not even under the launcher's name, nor in the per-user roots themselves.
    ts::makeDirs(local + L"\\Demo");
    ts::writeFile(local + L"\\Demo\\Demo.vmoptions", "-Xmx2g\n");
    ts::writeFile(local + L"\\Demo.vmoptions", "-Xmx2g\n");
    const ts::ProcessResult r = run();
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    // Nor is the JVM's error file placed: an image without a package runs as it always did.
    EXPECT_EQ(
        image.record().args(),
        (std::vector<std::string>{ts::utf8(image.exe()), "-Xmx64m",
                                  ts::utf8(L"-Dcorvela.app-path=" + image.exe()), "app.Main"}));
}

TEST_F(UserOptionsTest, UpgradeKeepsTheUsersOptionsAndTakesTheNewConfiguration) {
    options(local, "-Xmx2g\n");
    ts::ProcessResult r = run();
    EXPECT_EQ(image.record().args(), argsWith({L"-Xmx2g"}));

    // The next version: a new main class, a new option; the user's file stays.
    image.cfg("[Application]\napp.mainclass=app.NewMain\n"
              "[JavaOptions]\njava-options=-Xmx64m\n");
    for (LaunchPath path : {LaunchPath::InProcess, LaunchPath::Restart}) {
        r = run(path);
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        EXPECT_EQ(image.record().args(), argsWith({L"-Xmx2g"}, L"app.NewMain"));
    }

    // A full per-user copy of the configuration still replaces the vendor's, and the options
    // file is read with it.
    ts::writeFile(local + L"\\Pkg\\Demo.cfg", "[Application]\napp.mainclass=app.Copied\n"
                                              "[JavaOptions]\njava-options=-Xmx64m\n");
    r = run();
    EXPECT_EQ(image.record().args(), argsWith({L"-Xmx2g"}, L"app.Copied"));
}

} // namespace

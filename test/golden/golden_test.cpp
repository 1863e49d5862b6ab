// The launcher's own words, byte for byte: the trace and the error texts of a fixed set of
// runs, compared with the texts recorded in this folder. Only what differs from run to run
// is masked: process ids, addresses (their "0x" form stays) and source line numbers.
//
// To record the texts anew (after a deliberate change of wording), run this test with
// CORVELA_GOLDEN_RECORD set to this folder, as a Windows path, and review the difference.

#include <gtest/gtest.h>

#include <windows.h>

#include <cwchar>
#include <regex>

#include "LauncherImage.h"
#include "TestSupport.h"

namespace ts = testing_support;
using ts::Image;
using ts::LaunchPath;

namespace {

// A place of this run's own (runs side by side must not share it) whose name has the same
// length on every run and every machine, so that every size counted from a path is the same.
std::wstring goldenRoot() {
    wchar_t name[32];
    swprintf(name, 32, L"C:\\corvela-%06lx", GetCurrentProcessId() & 0xffffffUL);
    return name;
}

struct Scenario {
    const char* name;
    const char* cfg; // null: no configuration file
    std::map<std::wstring, std::wstring> env;
    std::wstring args;
    LaunchPath path;
    const wchar_t* runtime; // the stand-in copied as bin\jli.dll, null for none
};

void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

std::string masked(std::string text, const std::string& root) {
    for (size_t at = text.find(root); at != std::string::npos; at = text.find(root, at)) {
        text.replace(at, root.size(), "<ROOT>");
    }
    text = std::regex_replace(text, std::regex("PID=[0-9]+"), "PID=<N>");
    text = std::regex_replace(text, std::regex("0x[0-9a-f]+"), "0x<HEX>");
    text = std::regex_replace(text, std::regex("(\\.cpp|\\.h):[0-9]+"), "$1:<L>");
    text = std::regex_replace(text, std::regex("(\\.cpp|\\.h)\\([0-9]+\\)"), "$1(<L>)");
    return text;
}

std::wstring goldenFile(const std::string& name) {
    return ts::binDir() + L"\\..\\golden\\" + ts::wide(name) + L".txt";
}

const char* const fullCfg = "[Application]\n"
                            "app.classpath=$APPDIR\\main.jar\n"
                            "app.classpath=$APPDIR\\lib\\\xd0\x96.jar\n"
                            "app.mainclass=app.Main\n"
                            "app.splash=$APPDIR\\missing-splash.png\n"
                            "[JavaOptions]\n"
                            "java-options=-Xmx64m\n"
                            "java-options=-Dname=caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac\n"
                            "[ArgOptions]\n"
                            "arguments=configured\n";

class GoldenTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(GoldenTest, TraceAndErrorTextsAreUnchanged) {
    const Scenario& s = GetParam();
    const std::wstring root = goldenRoot() + L"\\" + ts::wide(s.name);
    ts::removeTree(root);
    Image image(root + L"\\Demo");
    DeleteFileW((root + L"\\Demo\\runtime\\bin\\jli.dll").c_str());
    if (s.runtime) {
        image.runtime(s.runtime);
    }
    if (s.cfg) {
        image.cfg(s.cfg);
    }
    ts::ProcessResult r = image.run(s.path, s.args, s.env);
    const std::string text =
        "exit code: " + std::to_string(r.exitCode) + "\n" + masked(r.err, ts::utf8(image.root));
    const std::wstring record = ts::env(L"CORVELA_GOLDEN_RECORD");
    if (!record.empty()) {
        ts::writeFile(record + L"\\" + ts::wide(s.name) + L".txt", text);
        return;
    }
    EXPECT_EQ(text, ts::readFile(goldenFile(s.name)));
    ts::removeTree(root);
    RemoveDirectoryW(goldenRoot().c_str()); // once the last scenario's place is gone
}

const std::map<std::wstring, std::wstring> quiet = {{L"CORVELA_DEBUG", L"false"}};

INSTANTIATE_TEST_SUITE_P(
    Scenarios, GoldenTest,
    ::testing::Values(
        Scenario{
            "in_process", fullCfg, {}, L"\"arg one\" \u0416", LaunchPath::InProcess, L"jli.dll"},
        Scenario{"restart", fullCfg, {}, L"x \"\"", LaunchPath::Restart, L"jli.dll"},
        Scenario{"missing_configuration", nullptr, {}, L"", LaunchPath::Restart, L"jli.dll"},
        Scenario{"missing_configuration_quiet", nullptr, quiet, L"", LaunchPath::Restart,
                 L"jli.dll"},
        Scenario{"parse_error", "[Application\n", {}, L"", LaunchPath::Restart, L"jli.dll"},
        Scenario{"no_runtime",
                 "[Application]\napp.mainclass=M\n",
                 {},
                 L"",
                 LaunchPath::InProcess,
                 nullptr},
        Scenario{"no_launch_function",
                 "[Application]\napp.mainclass=M\n",
                 {},
                 L"",
                 LaunchPath::InProcess,
                 L"jli_nolaunch.dll"},
        Scenario{"launch_fails",
                 "[Application]\napp.mainclass=M\n",
                 {{L"STANDIN_EXIT", L"2"}},
                 L"",
                 LaunchPath::InProcess,
                 L"jli.dll"},
        Scenario{"launch_fails_quiet",
                 "[Application]\napp.mainclass=M\n",
                 {{L"STANDIN_EXIT", L"2"}, {L"CORVELA_DEBUG", L"false"}},
                 L"",
                 LaunchPath::InProcess,
                 L"jli.dll"}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

} // namespace

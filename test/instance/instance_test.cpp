// The launcher's side of the single running instance, with the stand-in runtime: a listener
// in this test plays the application.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <memory>
#include <set>

#include "InstanceSupport.h"
#include "LauncherImage.h"
#include "TestSupport.h"

namespace ts = testing_support;
using instance_support::Async;
using instance_support::FakeListener;
using instance_support::NamedEvent;
using instance_support::StartingGate;
using testing_support::Image;
using testing_support::LaunchPath;

namespace {

// The one argument of each request the listener got; a request whose argument is there
// already fails the test.
std::set<std::string> argumentsHandedOver(const FakeListener& listener) {
    std::set<std::string> arguments;
    for (const instance_support::Request& request : listener.requests()) {
        EXPECT_EQ(request.strings.size(), 4u);
        if (request.strings.size() == 4) {
            EXPECT_TRUE(arguments.insert(request.strings[3]).second)
                << "twice: " << request.strings[3];
        }
    }
    return arguments;
}

const char* const singleInstanceCfg = "[Application]\napp.mainclass=app.Main\n"
                                      "app.single-instance=true\n"
                                      "[ArgOptions]\narguments=configured\n";

const std::string fileOption = "-Dcorvela.instance.file=";
const std::string pidOption = "-Dcorvela.instance.pid=";

std::string optionValue(const std::vector<std::string>& args, const std::string& option) {
    for (const std::string& arg : args) {
        if (arg.rfind(option, 0) == 0) {
            return arg.substr(option.size());
        }
    }
    return std::string();
}

class SingleInstanceTest : public ::testing::Test {
protected:
    explicit SingleInstanceTest(const wchar_t* launcher = L"corvela.exe")
        : image(dir / L"Demo", L"Demo", launcher) {
        ts::makeDirs(local);
        image.cfg(singleInstanceCfg);
    }

    // The variables of every start: its own user directory, a record of its own, the events
    // that tell when its "JVM" runs and hold it running.
    std::map<std::wstring, std::wstring> env(const std::wstring& record) const {
        return {{L"LOCALAPPDATA", local},
                {L"STANDIN_RECORD", record},
                {L"STANDIN_READY_EVENT", ready.name},
                {L"STANDIN_HOLD_EVENT", hold.name},
                {L"STANDIN_MODULE_NAMES", L"ws2_32.dll"}};
    }

    // Starts the first instance on a thread of its own and returns once its "JVM" runs.
    std::unique_ptr<Async> startFirst(ts::ProcessResult& result,
                                      LaunchPath path = LaunchPath::InProcess) {
        std::unique_ptr<Async> first(new Async(
            [this, &result, path]() { result = image.run(path, L"first", env(firstRecord())); }));
        EXPECT_TRUE(ready.wait(60000)) << "the first start never reached the runtime";
        return first;
    }

    std::wstring firstRecord() const { return dir / L"first.txt"; }

    // The record of the start whose one argument is `argument`.
    std::wstring recordOf(const std::string& argument) const {
        return dir / (ts::wide(argument) + L".txt");
    }

    // Starts `results.size()` launches at once, on threads of their own: the i-th with the
    // one argument `<name>-<i>`, on the path `pathOf(i)`. Joined when the threads go.
    std::vector<std::unique_ptr<Async>> startAtOnce(std::vector<ts::ProcessResult>& results,
                                                    const std::string& name,
                                                    LaunchPath (*pathOf)(size_t)) {
        std::vector<std::unique_ptr<Async>> threads;
        const std::shared_ptr<StartingGate> gate = std::make_shared<StartingGate>(results.size());
        for (size_t i = 0; i < results.size(); ++i) {
            threads.emplace_back(new Async([this, &results, name, pathOf, i, gate]() {
                const std::string argument = name + "-" + std::to_string(i);
                gate->arriveAndWait();
                results[i] = image.run(pathOf(i), ts::wide(argument), env(recordOf(argument)));
            }));
        }
        return threads;
    }

    std::wstring listenerFile() const {
        return ts::wide(optionValue(ts::Record::read(firstRecord()).args(), fileOption));
    }

    ts::TempDir dir{L"inst"};
    const std::wstring local = dir / L"local";
    Image image;
    NamedEvent ready{L"ready"};
    NamedEvent hold{L"hold"};
};

TEST_F(SingleInstanceTest, WithoutTheKeyNothingChanges) {
    image.cfg("[Application]\napp.mainclass=app.Main\n[ArgOptions]\narguments=configured\n");
    hold.set();
    for (const LaunchPath path : {LaunchPath::InProcess, LaunchPath::Restart}) {
        SCOPED_TRACE(path == LaunchPath::InProcess ? "in process" : "restart");
        for (int start = 0; start < 2; ++start) {
            const ts::ProcessResult r = image.run(path, L"", env(image.recordPath()));
            EXPECT_EQ(r.exitCode, 0u) << r.err;
            const ts::Record record = image.record();
            EXPECT_EQ(record.args(), image.expectedArgs({L"app.Main", L"configured"}));
            EXPECT_EQ(record.get("module.ws2_32.dll"), "0");
            EXPECT_EQ(r.err.find("SingleInstance"), std::string::npos) << r.err;
        }
    }
    EXPECT_EQ(GetFileAttributesW((local + L"\\Demo").c_str()), INVALID_FILE_ATTRIBUTES)
        << "nothing is written for an instance without the key";
}

TEST_F(SingleInstanceTest, TheProcessThatHostsTheJvmPublishesItsListenerFile) {
    image.cfg("[Application]\napp.mainclass=app.Main\napp.single-instance=true\n"
              "app.classpath=$APPDIR\\main.jar;$APPDIR\\lib\\Corvela-Instance.jar\n");
    hold.set();
    for (const LaunchPath path : {LaunchPath::InProcess, LaunchPath::Restart}) {
        SCOPED_TRACE(path == LaunchPath::InProcess ? "in process" : "restart");
        const ts::ProcessResult r = image.run(path, L"", env(image.recordPath()));
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        const ts::Record record = image.record();
        const std::vector<std::string> args = record.args();
        const std::string file = optionValue(args, fileOption);
        const std::string prefix = ts::utf8(local) + "\\Demo\\";
        ASSERT_EQ(file.rfind(prefix, 0), 0u) << file;
        EXPECT_EQ(file.size(), prefix.size() + 16 + 2 + 9) << "key, session and extension";
        EXPECT_EQ(file.substr(file.size() - 9), ".instance");
        EXPECT_NE(GetFileAttributesW((local + L"\\Demo").c_str()), INVALID_FILE_ATTRIBUTES);
        // On the restart path the child hosts the JVM, and with it the instance.
        EXPECT_EQ(optionValue(args, pidOption), record.get("pid"));
        EXPECT_EQ(optionValue(args, "-javaagent:"),
                  ts::utf8(image.appDir()) + "\\lib\\Corvela-Instance.jar");
        // The options come after the configured ones, before the main class.
        EXPECT_EQ(args.back(), "app.Main");
        EXPECT_EQ(record.get("module.ws2_32.dll"), "0") << "the running instance only listens";
    }
}

TEST_F(SingleInstanceTest, ALaterStartHandsItsRequestOverWithoutLoadingTheRuntime) {
    ts::ProcessResult first;
    const std::unique_ptr<Async> running = startFirst(first);
    FakeListener listener(listenerFile());

    // The same exe by another spelling of its path, from another directory, with arguments
    // that need quoting and characters outside ASCII.
    const std::wstring workDir = dir / L"Wörk dir";
    ts::makeDirs(workDir);
    const std::wstring exe = ts::upper(image.exe());
    const std::wstring args =
        L"\"with blank\" \"say \\\"hi\\\"\" \"\" \"Grüße, 世界\" C:\\path\\file.txt";
    for (const LaunchPath path : {LaunchPath::InProcess, LaunchPath::Restart}) {
        SCOPED_TRACE(path == LaunchPath::InProcess ? "in process" : "restart");
        std::map<std::wstring, std::wstring> environment = env(dir / L"second.txt");
        environment[L"CORVELA_DEBUG"] = L"true";
        environment[L"PATH"] =
            path == LaunchPath::InProcess ? image.pathListingAppDir() : ts::env(L"PATH");
        const ts::ProcessResult second = ts::run(exe, L"\"" + exe + L"\" " + args, environment,
                                                 60000, workDir, ts::Redirections(), 2);
        EXPECT_EQ(second.exitCode, 0u) << second.err;
        EXPECT_EQ(GetFileAttributesW((dir / L"second.txt").c_str()), INVALID_FILE_ATTRIBUTES)
            << "the later start must not load the runtime";
        EXPECT_NE(second.err.find(": taken"), std::string::npos) << second.err;
        // The process the user started hands the request over: a restart would only have
        // its child do the same.
        EXPECT_EQ(second.processes, 1u) << second.err;
    }

    const std::vector<instance_support::Request> requests = listener.requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const instance_support::Request& request : requests) {
        const std::vector<std::string>& strings = request.strings;
        ASSERT_EQ(strings.size(), 8u);
        EXPECT_EQ(strings[0], listener.token);
        EXPECT_FALSE(strings[1].empty()) << "every request has a name";
        EXPECT_EQ(strings[2], ts::utf8(workDir));
        EXPECT_EQ(std::vector<std::string>(strings.begin() + 3, strings.end()),
                  (std::vector<std::string>{"with blank", "say \"hi\"", "",
                                            ts::utf8(L"Grüße, 世界"), "C:\\path\\file.txt"}));
    }
    EXPECT_NE(requests[0].strings[1], requests[1].strings[1]) << "each request its own name";

    hold.set();
    running->join();
    EXPECT_EQ(first.exitCode, 0u) << first.err;
}

// The running instance refuses the request of the process the user started (its application
// takes none): the start runs on its own after that one answer, its restarted child never
// asking again, which would make the user wait as long once more.
TEST_F(SingleInstanceTest, ARefusedRequestIsNotAskedAgainByTheRestartedChild) {
    ts::ProcessResult first;
    const std::unique_ptr<Async> running = startFirst(first);
    FakeListener listener(listenerFile());
    listener.decline();
    const std::wstring record = dir / L"alone.txt";
    std::map<std::wstring, std::wstring> environment = env(record);
    // Its own "JVM" returns at once; the first one's is held.
    environment.erase(L"STANDIN_HOLD_EVENT");
    // The word a start passes to its restarted child stays between the two: a process the
    // application starts is a new start.
    environment[L"STANDIN_ENV_NAMES"] = L"CORVELA_INSTANCE_REFUSED";
    // Its "JVM" running tells that it went its own way: the first one may end then.
    const NamedEvent aloneReady{L"alone"};
    environment[L"STANDIN_READY_EVENT"] = aloneReady.name;
    ts::ProcessResult alone;
    Async later([this, &alone, &environment]() {
        alone = image.run(LaunchPath::Restart, L"document.xyz", environment);
    });
    EXPECT_TRUE(aloneReady.wait(60000)) << "the later start never reached the runtime";
    hold.set();
    running->join();
    later.join();

    EXPECT_EQ(alone.exitCode, 0u) << alone.err;
    EXPECT_EQ(alone.processes, 2u) << alone.err;
    const ts::Record ranAlone = ts::Record::read(record);
    EXPECT_EQ(ranAlone.args().back(), "document.xyz") << "ran on its own";
    EXPECT_EQ(optionValue(ranAlone.args(), fileOption), "")
        << "the running instance keeps its listener";
    EXPECT_EQ(ranAlone.get("env.CORVELA_INSTANCE_REFUSED"), "");
    EXPECT_EQ(listener.requests().size(), 1u) << alone.err;
    EXPECT_EQ(first.exitCode, 0u) << first.err;
}

TEST_F(SingleInstanceTest, ALaterStartTakesOverWhenTheRunningInstanceEnds) {
    ts::ProcessResult first;
    const std::unique_ptr<Async> running = startFirst(first, LaunchPath::Restart);
    // The running instance is still starting: its listener takes no request yet. The later
    // start offers its request before its restart, then its child waits.
    FakeListener listener(listenerFile(), true);
    listener.expect(2);

    ts::ProcessResult second;
    Async later([this, &second]() {
        second = image.run(LaunchPath::Restart, L"later", env(dir / L"second.txt"));
    });
    ASSERT_TRUE(listener.waitForExpected(60000)) << "the later start never tried";
    hold.set();
    later.join();
    running->join();

    EXPECT_EQ(first.exitCode, 0u) << first.err;
    EXPECT_EQ(second.exitCode, 0u) << second.err;
    EXPECT_NE(second.err.find("the running instance ended; this process is it"), std::string::npos)
        << second.err;
    const ts::Record record = ts::Record::read(dir / L"second.txt");
    EXPECT_EQ(record.args().back(), "later") << "it runs the application with its own arguments";
    EXPECT_FALSE(optionValue(record.args(), fileOption).empty());
}

// One instance per user and session: the mutex lives in the session's namespace, and the
// listener file carries the session's id, so that a user's second session gets its own.
TEST_F(SingleInstanceTest, TheInstanceIsTheUsersInThisSession) {
    hold.set();
    std::map<std::wstring, std::wstring> environment = env(image.recordPath());
    environment[L"CORVELA_DEBUG"] = L"true";
    const ts::ProcessResult r = image.run(LaunchPath::InProcess, L"", environment);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    const std::string mutexLine = "Single instance: mutex ";
    const size_t at = r.err.find(mutexLine);
    ASSERT_NE(at, std::string::npos) << r.err;
    const size_t from = at + mutexLine.size();
    const std::string mutex = r.err.substr(from, r.err.find_first_of(",\r\n", from) - from);
    EXPECT_EQ(mutex.rfind("Local\\Corvela.Instance.", 0), 0u) << mutex;
    EXPECT_EQ(mutex.substr(mutex.rfind('.') + 1), ts::utf8(instance_support::currentUserSid()))
        << mutex;
    DWORD session = 0;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
    const std::string file = optionValue(image.record().args(), fileOption);
    const std::string ending = "-" + std::to_string(session) + ".instance";
    ASSERT_GT(file.size(), ending.size());
    EXPECT_EQ(file.substr(file.size() - ending.size()), ending) << file;
}

// The console launcher reports the failure on standard error alone: under Wine, the GUI
// launcher's message box waits while another GUI process of the session does not pump
// messages, as the held stand-in does.
class ConsoleInstanceTest : public SingleInstanceTest {
protected:
    ConsoleInstanceTest() : SingleInstanceTest(L"corvela-console.exe") {}
};

// The running instance was replaced by a newer one, which published a listener of its own with
// a new token: a later start that read the older file tries again with the newer token.
TEST_F(ConsoleInstanceTest, ALaterStartThatReadAStaleListenerFileUsesTheNewToken) {
    ts::ProcessResult first;
    const std::unique_ptr<Async> running = startFirst(first);
    std::unique_ptr<FakeListener> stale(
        new FakeListener(listenerFile(), true, 0, std::string(32, 'a')));
    stale->expect(1);

    ts::ProcessResult second;
    Async later([this, &second]() {
        second = image.run(LaunchPath::InProcess, L"later", env(dir / L"second.txt"));
    });
    ASSERT_TRUE(stale->waitForExpected(60000)) << "the later start never tried";
    const FakeListener newer(listenerFile(), false, 0, std::string(32, 'b'));
    later.join();
    stale.reset();

    EXPECT_EQ(second.exitCode, 0u) << second.err;
    EXPECT_EQ(GetFileAttributesW((dir / L"second.txt").c_str()), INVALID_FILE_ATTRIBUTES)
        << "the later start must not load the runtime";
    const std::vector<instance_support::Request> requests = newer.requests();
    ASSERT_FALSE(requests.empty());
    ASSERT_FALSE(requests.back().strings.empty());
    EXPECT_EQ(requests.back().strings[0], newer.token);
    hold.set();
    running->join();
    EXPECT_EQ(first.exitCode, 0u) << first.err;
}

TEST_F(ConsoleInstanceTest, ALaterStartGivesUpClearlyWhenTheRunningInstanceNeverTakesIt) {
    ts::ProcessResult first;
    const std::unique_ptr<Async> running = startFirst(first);
    FakeListener listener(listenerFile(), true);

    const ts::ProcessResult second =
        image.run(LaunchPath::InProcess, L"later", env(dir / L"second.txt"));
    EXPECT_EQ(second.exitCode, 1u) << second.err;
    EXPECT_NE(second.err.find("\nThe running instance of " + ts::utf8(image.exe()) +
                              " did not take the request within 10 seconds\n"),
              std::string::npos)
        << second.err;
    EXPECT_EQ(GetFileAttributesW((dir / L"second.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_GT(listener.requests().size(), 1u) << "it kept trying";

    hold.set();
    running->join();
}

// Ten later starts at the same moment, while the instance runs, half of them where PATH lacks
// the application directory: each hands its request over once, none loads the runtime.
TEST_F(SingleInstanceTest, TenLaterStartsAtOnceHandOverTenRequests) {
    ts::ProcessResult first;
    const std::unique_ptr<Async> running = startFirst(first);
    FakeListener listener(listenerFile());
    std::vector<ts::ProcessResult> results(10);
    listener.expect(results.size());
    std::vector<std::unique_ptr<Async>> threads = startAtOnce(results, "later", [](size_t i) {
        return i % 2 ? LaunchPath::InProcess : LaunchPath::Restart;
    });
    EXPECT_TRUE(listener.waitForExpected(120000));
    threads.clear();

    const std::set<std::string> handedOver = argumentsHandedOver(listener);
    for (size_t i = 0; i < results.size(); ++i) {
        SCOPED_TRACE(i);
        const std::string argument = "later-" + std::to_string(i);
        EXPECT_EQ(results[i].exitCode, 0u) << results[i].err;
        EXPECT_EQ(handedOver.count(argument), 1u);
        EXPECT_EQ(results[i].processes, 1u) << "the process the user started hands it over";
        EXPECT_EQ(GetFileAttributesW(recordOf(argument).c_str()), INVALID_FILE_ATTRIBUTES)
            << "a later start loaded the runtime";
    }
    hold.set();
    running->join();
    EXPECT_EQ(first.exitCode, 0u) << first.err;
}

TEST_F(SingleInstanceTest, TenSimultaneousStartsMakeOneInstanceAndNineRequests) {
    std::vector<ts::ProcessResult> results(10);
    std::vector<std::unique_ptr<Async>> threads =
        startAtOnce(results, "start", [](size_t) { return LaunchPath::InProcess; });
    ASSERT_TRUE(ready.wait(60000));
    const auto isInstance = [this](size_t i) {
        return GetFileAttributesW(recordOf("start-" + std::to_string(i)).c_str()) !=
               INVALID_FILE_ATTRIBUTES;
    };
    size_t instance = results.size();
    for (size_t i = 0; i < results.size(); ++i) {
        if (isInstance(i)) {
            instance = i;
        }
    }
    ASSERT_NE(instance, results.size());
    FakeListener listener(ts::wide(optionValue(
        ts::Record::read(recordOf("start-" + std::to_string(instance))).args(), fileOption)));
    listener.expect(results.size() - 1);
    EXPECT_TRUE(listener.waitForExpected(120000));
    hold.set();
    threads.clear();

    const std::set<std::string> handedOver = argumentsHandedOver(listener);
    for (size_t i = 0; i < results.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(results[i].exitCode, 0u) << results[i].err;
        EXPECT_EQ(isInstance(i), i == instance);
        EXPECT_EQ(handedOver.count("start-" + std::to_string(i)), i == instance ? 0u : 1u);
    }
}

} // namespace

namespace {

// The whole path with a real Java program: the bridge runtime runs the probe application
// (test/instance/java) on the host's Java with corvela-instance.jar on its class path.
class BridgeInstanceTest : public ::testing::Test {
protected:
    BridgeInstanceTest() {
        const std::wstring build = ts::binDir() + L"\\..";
        ts::makeDirs(root + L"\\app");
        ts::makeDirs(root + L"\\runtime\\bin");
        ts::makeDirs(listenerDir);
        ts::copyFile(ts::binDir() + L"\\corvela.exe", exe());
        ts::copyFile(build + L"\\bridge\\runtime\\bin\\jli.dll", root + L"\\runtime\\bin\\jli.dll");
        ts::copyFile(build + L"\\test-java\\instance-probe.jar", root + L"\\app\\probe.jar");
        ts::copyFile(ts::binDir() + L"\\corvela-instance.jar",
                     root + L"\\app\\corvela-instance.jar");
        ts::writeFile(root + L"\\app\\Probe.cfg",
                      "[Application]\napp.mainclass=InstanceProbe\napp.single-instance=true\n"
                      "app.classpath=$APPDIR\\probe.jar\n"
                      "app.classpath=$APPDIR\\corvela-instance.jar\n");
    }

    std::wstring exe() const { return root + L"\\Probe.exe"; }

    ts::ProcessResult start(const std::wstring& args,
                            const std::wstring& workDir = std::wstring()) const {
        return ts::run(
            exe(), L"\"" + exe() + L"\" " + args,
            {{L"LOCALAPPDATA", local}, {L"PATH", ts::env(L"PATH") + L";" + root + L"\\app"}},
            120000, workDir);
    }

    // Waits, on the directory's change notifications, until the running instance has
    // published its listener.
    bool waitForListener() const {
        const HANDLE change =
            FindFirstChangeNotificationW(listenerDir.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
        bool found = false;
        for (int changes = 0; !found && changes < 100; ++changes) {
            WIN32_FIND_DATAW data;
            const HANDLE find = FindFirstFileW((listenerDir + L"\\*.instance").c_str(), &data);
            found = find != INVALID_HANDLE_VALUE;
            if (found) {
                FindClose(find);
            } else if (WaitForSingleObject(change, 120000) != WAIT_OBJECT_0 ||
                       !FindNextChangeNotification(change)) {
                break;
            }
        }
        FindCloseChangeNotification(change);
        return found;
    }

    ts::TempDir dir{L"bridge"};
    const std::wstring root = dir / L"Probe";
    const std::wstring local = dir / L"local";
    const std::wstring listenerDir = local + L"\\Probe";
};

// The probe's lines: "instance" or "request", then hex words ("-" and the UTF-8 bytes).
std::string hexWord(const std::wstring& text) {
    static const char digits[] = "0123456789abcdef";
    std::string word = "-";
    for (const unsigned char c : ts::utf8(text)) {
        word += digits[c >> 4];
        word += digits[c & 15];
    }
    return word;
}

std::string line(const char* kind, const std::vector<std::wstring>& words) {
    std::string text = kind;
    for (const std::wstring& word : words) {
        text += " " + hexWord(word);
    }
    return text;
}

std::wstring currentDirectory() {
    wchar_t buffer[MAX_PATH * 4];
    return std::wstring(buffer, GetCurrentDirectoryW(MAX_PATH * 4, buffer));
}

std::vector<std::string> probeLines(const std::string& out) {
    std::vector<std::string> lines;
    for (std::string text : ts::splitLines(out)) {
        text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
        if (text.rfind("instance", 0) == 0 || text.rfind("request", 0) == 0) {
            lines.push_back(text);
        }
    }
    return lines;
}

TEST_F(BridgeInstanceTest, JavaGetsTheLaterStartsArgumentsAndDirectoryKeptUntilItListens) {
    ts::ProcessResult first;
    // Expects two requests, and registers its listener only when told.
    Async running([this, &first]() { first = start(L"2 wait"); });
    ASSERT_TRUE(waitForListener());

    const std::wstring workDir = dir / L"Wörk dir";
    ts::makeDirs(workDir);
    // Each later start waits for the application to take its request, so they run beside
    // the test; the listener's own test shows the wait exactly.
    ts::ProcessResult second;
    ts::ProcessResult third;
    {
        Async later([this, &second, &workDir]() {
            second = start(L"\"a b\" \"say \\\"hi\\\"\" \"\" \"Grüße, 世界\" C:\\docs\\file.txt",
                           workDir);
        });
        Async other([this, &third]() { third = start(L"third"); });
        ts::writeFile(listenerDir + L"\\register", "");
    }
    EXPECT_EQ(second.exitCode, 0u) << second.err;
    EXPECT_EQ(third.exitCode, 0u) << third.err;
    EXPECT_TRUE(probeLines(second.out + third.out).empty()) << "no second application";

    running.join();
    EXPECT_EQ(first.exitCode, 0u) << first.err;
    std::vector<std::string> lines = probeLines(first.out);
    ASSERT_FALSE(lines.empty()) << first.out << first.err;
    EXPECT_EQ(lines.front(), line("instance", {L"2", L"wait"}));
    std::sort(lines.begin() + 1, lines.end());
    std::vector<std::string> requests{
        line("request", {workDir, L"a b", L"say \"hi\"", L"", L"Grüße, 世界", L"C:\\docs\\file.txt"}),
        line("request", {currentDirectory(), L"third"})};
    std::sort(requests.begin(), requests.end());
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), requests)
        << first.out << first.err;
}

// An application that never registers for requests: the later start's document would be
// lost if the running instance took it, so it is refused and the later start runs on its own.
TEST_F(BridgeInstanceTest, ALaterStartRunsOnItsOwnWhenTheApplicationTakesNoRequests) {
    ts::ProcessResult first;
    // Expects no request, and registers only when told: after the later start is done.
    Async running([this, &first]() { first = start(L"0 wait"); });
    ASSERT_TRUE(waitForListener());

    const ts::ProcessResult second = start(L"0 document.xyz");
    ts::writeFile(listenerDir + L"\\register", "");
    running.join();

    EXPECT_EQ(second.exitCode, 0u) << second.err;
    EXPECT_EQ(probeLines(second.out),
              (std::vector<std::string>{line("instance", {L"0", L"document.xyz"})}))
        << second.out << second.err;
    EXPECT_EQ(first.exitCode, 0u) << first.err;
    EXPECT_EQ(probeLines(first.out), (std::vector<std::string>{line("instance", {L"0", L"wait"})}))
        << first.out << first.err;
    EXPECT_NE(first.err.find("the later start runs on its own"), std::string::npos) << first.err;
}

TEST_F(BridgeInstanceTest, TenStartsAtOnceMakeOneApplicationWithNineRequests) {
    const int starts = 10;
    std::vector<ts::ProcessResult> results(starts);
    {
        std::vector<std::unique_ptr<Async>> threads;
        StartingGate gate(starts);
        for (int i = 0; i < starts; ++i) {
            threads.emplace_back(new Async([this, &results, &gate, i]() {
                gate.arriveAndWait();
                results[i] = start(L"9 start-" + std::to_wstring(i));
            }));
        }
        // The threads go before the gate does.
        threads.clear();
    }
    std::vector<std::string> instances;
    std::set<std::string> requests;
    for (int i = 0; i < starts; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(results[i].exitCode, 0u) << results[i].err;
        for (const std::string& text : probeLines(results[i].out)) {
            if (text.rfind("instance", 0) == 0) {
                instances.push_back(text.substr(8));
            } else {
                EXPECT_TRUE(requests.insert(text.substr(text.find(' ', 8))).second)
                    << "twice: " << text;
            }
        }
    }
    ASSERT_EQ(instances.size(), 1u);
    // Every other start's arguments, once each; the instance's own are not a request.
    EXPECT_EQ(requests.size(), 9u);
    EXPECT_EQ(requests.count(instances[0]), 0u);
}

} // namespace

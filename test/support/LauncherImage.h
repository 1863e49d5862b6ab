// Test support: a launcher image in a temporary directory, run and read back.
#ifndef CORVELA_LAUNCHERIMAGE_H
#define CORVELA_LAUNCHERIMAGE_H

#include <windows.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace testing_support {

inline std::wstring upper(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(towupper(c));
    }
    return text;
}

inline size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
        ++n;
    }
    return n;
}

// Which way a run takes: in process, because "PATH" is made to list the application
// directory, or through the restart, with "PATH" as the caller has it.
enum class LaunchPath { InProcess, Restart };

// A real application image: the launcher under the application's name, app\<name>.cfg and
// the stand-in runtime.
class Image {
public:
    // `launcher`: the build's corvela.exe, corvela-console.exe for a command-line tool, or
    // their -full companions for an image that updates or runs on an installed Java.
    Image(const std::wstring& root, const std::wstring& name = L"Demo",
          const std::wstring& launcher = L"corvela.exe")
        : root(root), name(name) {
        testing_support::makeDirs(appDir());
        testing_support::makeDirs(root + L"\\runtime\\bin");
        testing_support::copyFile(testing_support::binDir() + L"\\" + launcher, exe());
        runtime(L"jli.dll");
    }

    std::wstring exe() const { return root + L"\\" + name + L".exe"; }
    std::wstring appDir() const { return root + L"\\app"; }
    std::wstring recordPath() const { return root + L"\\record.txt"; }

    // Copies a stand-in library into the runtime, under `as` relative to runtime\bin.
    void runtime(const std::wstring& standin, const std::wstring& as = L"jli.dll") const {
        const std::wstring target = root + L"\\runtime\\bin\\" + as;
        testing_support::makeDirs(target.substr(0, target.find_last_of(L'\\')));
        testing_support::copyFile(testing_support::standinDir() + L"\\" + standin, target);
    }

    void cfg(const std::string& text) const {
        testing_support::writeFile(appDir() + L"\\" + name + L".cfg", text);
    }

    // "PATH" as an in-process run gets it: the application directory in other letter case.
    std::wstring pathListingAppDir() const {
        return testing_support::env(L"PATH") + L";" + upper(appDir());
    }

    // The launcher's command line: its path, then the arguments as given.
    testing_support::ProcessResult
    run(LaunchPath path, const std::wstring& args = std::wstring(),
        std::map<std::wstring, std::wstring> env = {},
        const testing_support::Redirections& redirections = testing_support::Redirections()) const {
        DeleteFileW(recordPath().c_str());
        env.emplace(L"STANDIN_RECORD", recordPath());
        env.emplace(L"STANDIN_ENV_NAMES", L"PATH;CORVELA_RESTARTED_FROM");
        env.emplace(L"CORVELA_DEBUG", L"true");
        if (path == LaunchPath::InProcess) {
            env.emplace(L"PATH", pathListingAppDir());
        }
        testing_support::ProcessResult r =
            testing_support::run(exe(), L"\"" + exe() + L"\"" + (args.empty() ? L"" : L" " + args),
                                 env, 60000, std::wstring(), redirections, maxProcesses);
        // Standard error is a text-mode stream: compare lines, not line ends.
        r.err.erase(std::remove(r.err.begin(), r.err.end(), '\r'), r.err.end());
        return r;
    }

    testing_support::Record record() const { return testing_support::Record::read(recordPath()); }

    // The JVM arguments as the runtime gets them: UTF-8, the code page the launcher's
    // manifest declares.
    std::vector<std::string> expectedArgs(const std::vector<std::wstring>& rest) const {
        std::vector<std::string> args = {utf8(exe()), utf8(L"-Dcorvela.app-path=" + exe())};
        for (const std::wstring& arg : rest) {
            args.push_back(utf8(arg));
        }
        return args;
    }

    const std::wstring root;
    const std::wstring name;
    // The launcher and the one child a restart makes: a launcher that restarts itself again
    // is ended at its second restart. 0 runs it outside a job, for runs whose application
    // starts programs of its own.
    unsigned maxProcesses = 2;
};

} // namespace testing_support

#endif

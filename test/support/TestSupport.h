// Test support: temporary directories, files, processes, environment and text.
#ifndef CORVELA_TESTSUPPORT_H
#define CORVELA_TESTSUPPORT_H

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "Utf8Text.h"

namespace testing_support {

// A fresh directory under the temporary directory, removed with all it holds.
class TempDir {
public:
    explicit TempDir(const std::wstring& hint = L"t");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::wstring& path() const { return dir; }
    std::wstring operator/(const std::wstring& name) const { return dir + L"\\" + name; }

private:
    std::wstring dir;
};

void removeTree(const std::wstring& path);
void makeDirs(const std::wstring& path);
void writeFile(const std::wstring& path, const std::string& bytes);
std::string readFile(const std::wstring& path);
// Waits until the file at `path` holds exactly `text`, woken by each change in its directory,
// for at most `limitMs`; false when it never did.
bool waitForFileText(const std::wstring& path, const std::string& text, DWORD limitMs = 60000);
void copyFile(const std::wstring& from, const std::wstring& to);
// The names in a directory, sorted, without "." and ".."; none when it cannot be listed.
std::vector<std::wstring> namesIn(const std::wstring& dir);
// Copies a directory with everything below it.
void copyTree(const std::wstring& from, const std::wstring& to);

// Sets (or, with `unset`, removes) a variable of this process until the scope ends.
class ScopedEnv {
public:
    ScopedEnv(const std::wstring& name, const std::wstring& value, bool unset = false);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::wstring name;
    std::wstring oldValue;
    bool hadValue;
};

std::wstring env(const std::wstring& name);

// An event with a name no other run shares, for a program this test starts to set (the
// stand-in's STANDIN_READY_EVENT) or to wait on.
class NamedEvent {
public:
    NamedEvent();
    ~NamedEvent();
    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;

    const std::wstring& name() const { return eventName; }
    HANDLE handle() const { return event; }
    bool waitFor(DWORD timeoutMs) const {
        return WaitForSingleObject(event, timeoutMs) == WAIT_OBJECT_0;
    }

private:
    std::wstring eventName;
    HANDLE event;
};

// The directory of this test executable, and the stand-in runtime's build directory.
std::wstring binDir();
std::wstring standinDir();

struct ProcessResult {
    DWORD exitCode = 0;
    DWORD pid = 0;
    std::string out;
    std::string err;
    // With a process limit: how many processes of the program's image the run started in
    // all (the program included), and how many of them were still running once the program
    // had ended and the rest had had the time left to end with it.
    unsigned processes = 0;
    unsigned leftRunning = 0;
};

// Files to give a program as standard input and output instead of this process's input
// and a pipe.
struct Redirections {
    std::wstring input;
    std::wstring output;
};

// Runs a program with this process's environment plus `envOverrides` (a name ending in '!'
// removes the variable), capturing its standard output and error. `exe` may be relative to
// `workDir`: that is the way to start programs whose full path is MAX_PATH or longer. With
// an output file, `out` holds what the program wrote there. With `maxProcesses`, the program
// runs in a job of its own, and a run that starts more processes of the program's image than
// that in all is ended at once, with exit code 998 and a line saying so on standard error.
ProcessResult run(const std::wstring& exe, const std::wstring& commandLine,
                  const std::map<std::wstring, std::wstring>& envOverrides = {},
                  DWORD timeoutMs = 60000, const std::wstring& workDir = std::wstring(),
                  const Redirections& redirections = Redirections(), unsigned maxProcesses = 0);

std::string unhex(const std::string& hex);
std::wstring unhexWide(const std::string& hex);

// The stand-in runtime's record: key=value lines in the order they were written.
struct Record {
    std::vector<std::pair<std::string, std::string>> lines;

    static Record read(const std::wstring& path);
    std::string get(const std::string& key) const; // the last value, or "" when absent
    std::vector<std::string> all(const std::string& key) const;
    bool has(const std::string& key) const;
    std::vector<std::string> args() const; // decoded from hex, in order
};

std::vector<std::string> splitLines(const std::string& text);

} // namespace testing_support

#endif

// The host's Java program for one launch: its run script, its live streams and its end.
#include "HostJava.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace bridge {

namespace {

// How long the shell may take to connect: Wine starts it at once, a loaded machine slowly.
const DWORD connectTimeoutMs = 60000;
// How long output may still arrive after the program ended: a process it started can hold
// its streams open for ever.
const DWORD drainTimeoutMs = 5000;

std::wstring makeWorkDir() {
    wchar_t base[MAX_PATH];
    if (!GetTempPathW(MAX_PATH, base)) {
        throw std::runtime_error("no temporary directory");
    }
    for (unsigned i = 0;; ++i) {
        const std::wstring dir = std::wstring(base) + L"corvela-bridge-" +
                                 std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(i);
        if (CreateDirectoryW(dir.c_str(), nullptr)) {
            return dir;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            throw std::runtime_error("cannot create a work directory");
        }
    }
}

void writeFile(const std::wstring& path, const std::string& bytes) {
    UniqueFile file(_wfopen(path.c_str(), L"wb"));
    if (!file || fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size() ||
        fclose(file.release()) != 0) {
        throw std::runtime_error("cannot write the run script");
    }
}

// Starts a Unix program. Wine returns no handle that tells its end; the program reports
// that itself.
void startUnixProgram(const std::wstring& program, std::wstring commandLine) {
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &si, &pi)) {
        throw std::runtime_error("cannot start " + toUtf8(program));
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

// bash's `times`: "0m1.250s".
double seconds(const std::string& text) {
    const size_t m = text.find('m');
    if (m == std::string::npos) {
        return 0;
    }
    return atof(text.substr(0, m).c_str()) * 60 + atof(text.substr(m + 1).c_str());
}

} // namespace

HostJava::HostJava(const UnixPaths& paths, const std::string& command)
    : paths(paths), command(command) {}

HostJava::~HostJava() {
    if (!workDir.empty()) {
        DeleteFileW((workDir + L"\\run.sh").c_str());
        RemoveDirectoryW(workDir.c_str());
    }
}

// The program runs in a subshell that gives its own process id and then becomes the
// program: a program started in the background would ignore SIGINT. Beside it a watcher
// reads the control connection: a signal name sends that signal to the program, "done" ends
// the watcher, and the connection's end without "done" (the bridge's process is gone) ends
// the program with SIGTERM, so that no program outlives its launcher. The parent shell keeps
// only the control connection open, so the program's streams end with it.
std::string HostJava::script(bool mergedOutput) const {
    std::string text = "#!/bin/bash\n";
    const char* roles[] = {"control", "input", "output", "error"};
    for (int fd = 3; fd <= 6; ++fd) {
        const std::string role = roles[fd - 3];
        if (role == "error" && mergedOutput) {
            text += "exec 6>&5\n";
            continue;
        }
        text += "exec " + std::to_string(fd) + "<>/dev/tcp/127.0.0.1/" +
                std::to_string(channels.port()) + " || exit 1\n" + "printf '%s\\n' " +
                shellQuote(channels.token() + " " + role) + " >&" + std::to_string(fd) + "\n";
    }
    // The host's java reads its file names in the locale's character set: without a UTF-8
    // locale (a service under Wine's manager inherits none) it cannot open an image's jars in
    // a folder with non-ASCII names.
    text += "case ${LC_ALL:-${LC_CTYPE:-$LANG}} in\n"
            "  *[Uu][Tt][Ff]-8* | *[Uu][Tt][Ff]8*) ;;\n"
            "  *) export LC_ALL=C.UTF-8 ;;\n"
            "esac\n";
    text += "start=$EPOCHREALTIME\n"
            "(pid=$BASHPID\n"
            " printf 'pid %s\\n' \"$pid\" >&3\n"
            " { while read -r request <&3 && [[ $request =~ ^[A-Z]+$ ]]; do\n"
            "     kill -s \"$request\" \"$pid\"\n"
            "   done\n"
            "   [[ $request == done ]] || kill -s TERM \"$pid\"\n"
            " } </dev/null >/dev/null 2>&1 4>&- 5>&- 6>&- &\n"
            " exec 3>&-\n"
            " exec " +
            command + " <&4 >&5 2>&6 4>&- 5>&- 6>&-)\n" +
            "status=$?\n"
            "end=$EPOCHREALTIME\n"
            "exec 4>&- 5>&- 6>&-\n"
            "printf 'wall %s %s\\ntimes\\n' \"$start\" \"$end\" >&3\n"
            "times >&3\n"
            "printf 'status %d\\n' \"$status\" >&3\n";
    return text;
}

void HostJava::start() {
    inputSource = GetStdHandle(STD_INPUT_HANDLE);
    outputTarget = GetStdHandle(STD_OUTPUT_HANDLE);
    errorTarget = GetStdHandle(STD_ERROR_HANDLE);
    merged = sameDestination(outputTarget, errorTarget);
    workDir = makeWorkDir();
    const std::wstring scriptPath = workDir + L"\\run.sh";
    writeFile(scriptPath, script(merged));

    // Z: maps the Unix root in every Wine prefix; /bin/bash is an ELF program there.
    startUnixProgram(L"Z:\\bin\\bash",
                     L"/bin/bash \"" + fromAcp(paths.unixPath(scriptPath).c_str()) + L"\"");
    streams = channels.accept(merged ? 3 : 4, connectTimeoutMs);
    control = std::move(streams["control"]);
    std::string line;
    if (!readLine(control.get(), line) || line.compare(0, 4, "pid ") != 0) {
        throw std::runtime_error("the host's shell did not start the program");
    }
}

void HostJava::relayStreams() {
    startInputRelay(inputSource, streams["input"].release());
    output.reset(new OutputRelay(streams["output"].release(), outputTarget));
    if (!merged) {
        error.reset(new OutputRelay(streams["error"].release(), errorTarget));
    }
    streams.clear();
}

void HostJava::readReport() {
    std::string line;
    while (readLine(control.get(), line)) {
        if (line.compare(0, 5, "wall ") == 0) {
            double start = 0;
            double end = 0;
            measured.known = sscanf(line.c_str() + 5, "%lf %lf", &start, &end) == 2;
            measured.wallSeconds = end - start;
        } else if (line == "times") {
            // The shell's own times, then its children's: the program's.
            std::string shell;
            std::string children;
            readLine(control.get(), shell);
            readLine(control.get(), children);
            const size_t blank = children.find(' ');
            measured.userSeconds = seconds(children.substr(0, blank));
            measured.systemSeconds =
                blank == std::string::npos ? 0 : seconds(children.substr(blank + 1));
        } else if (line.compare(0, 7, "status ") == 0) {
            status = atoi(line.c_str() + 7);
            return;
        }
    }
    throw std::runtime_error("the host's shell ended without the program's exit status");
}

void HostJava::signal(const char* name) {
    const std::string line = std::string(name) + "\n";
    send(control.get(), line.data(), static_cast<int>(line.size()), 0);
}

int HostJava::wait() {
    readReport();
    signal("done");
    output->finish(drainTimeoutMs);
    if (error) {
        error->finish(drainTimeoutMs);
    }
    return status;
}

} // namespace bridge

// Test support (TestSupport.h): files, directories, processes and text.
#include "TestSupport.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace testing_support {

namespace {

std::wstring lastErrorText(const std::wstring& what) {
    return what + L" failed with error " + std::to_wstring(GetLastError());
}

[[noreturn]] void fail(const std::wstring& what) {
    throw std::runtime_error(utf8(lastErrorText(what)));
}

std::wstring environmentBlock(const std::map<std::wstring, std::wstring>& overrides) {
    // Case-insensitive names, as Windows has them.
    std::map<std::wstring, std::pair<std::wstring, std::wstring>> vars;
    const auto key = [](std::wstring name) {
        for (wchar_t& c : name) {
            c = static_cast<wchar_t>(towupper(c));
        }
        return name;
    };
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
        const std::wstring entry(p);
        const size_t eq = entry.find(L'=', 1);
        if (eq != std::wstring::npos) {
            vars[key(entry.substr(0, eq))] = {entry.substr(0, eq), entry.substr(eq + 1)};
        }
    }
    FreeEnvironmentStringsW(block);
    for (const auto& o : overrides) {
        if (!o.first.empty() && o.first.back() == L'!') {
            vars.erase(key(o.first.substr(0, o.first.size() - 1)));
        } else {
            vars[key(o.first)] = {o.first, o.second};
        }
    }
    std::wstring result;
    for (const auto& v : vars) {
        result += v.second.first + L"=" + v.second.second;
        result.push_back(L'\0');
    }
    result.push_back(L'\0');
    return result;
}

// Drains a pipe on its own thread so that a child writing a lot never blocks.
struct PipeReader {
    HANDLE pipe;
    std::string data;
    HANDLE thread = nullptr;

    static DWORD WINAPI readAll(LPVOID param) {
        PipeReader* self = static_cast<PipeReader*>(param);
        char buffer[4096];
        DWORD n;
        while (ReadFile(self->pipe, buffer, sizeof(buffer), &n, nullptr) && n > 0) {
            self->data.append(buffer, n);
        }
        return 0;
    }
};

std::wstring imagePath(HANDLE process) {
    wchar_t path[32768];
    DWORD size = 32768;
    return QueryFullProcessImageNameW(process, 0, path, &size) ? std::wstring(path, size)
                                                               : std::wstring();
}

// A job that tells its port about every process that starts or ends in it, nested jobs
// included, so that a run can follow the program's own processes without polling. Only
// those count: Wine starts processes of its own (its desktop, its debugger) from whichever
// program needs them first, and those must live on. A process has no image name until it
// has begun to run, so one is placed once it has one, at a later message.
class WatchedJob {
public:
    WatchedJob()
        : job(CreateJobObjectW(nullptr, nullptr)),
          port(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1)) {
        JOBOBJECT_ASSOCIATE_COMPLETION_PORT association = {job, port};
        if (!job || !port ||
            !SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &association,
                                     sizeof(association))) {
            fail(L"CreateJobObject/CreateIoCompletionPort");
        }
    }
    ~WatchedJob() {
        for (const auto& process : running) {
            TerminateProcess(process.second, 997);
            CloseHandle(process.second);
        }
        for (const auto& process : unplaced) {
            CloseHandle(process.second);
        }
        CloseHandle(port);
        CloseHandle(job);
    }
    WatchedJob(const WatchedJob&) = delete;
    WatchedJob& operator=(const WatchedJob&) = delete;

    void add(HANDLE process) {
        image = imagePath(process);
        if (image.empty() || !AssignProcessToJobObject(job, process)) {
            fail(L"AssignProcessToJobObject");
        }
    }

    // Follows the job until `mainPid` and every other process of its image have ended, or
    // until the deadline; ends them all as soon as more than `maxProcesses` have started.
    void follow(DWORD mainPid, unsigned maxProcesses, ULONGLONG deadline, ProcessResult& result) {
        DWORD message = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED pid = nullptr;
        bool mainEnded = false;
        while (!(mainEnded && running.empty() && (unplaced.empty() || runaway))) {
            const ULONGLONG now = GetTickCount64();
            const DWORD wait = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
            if (!GetQueuedCompletionStatus(port, &message, &key, &pid, wait)) {
                break;
            }
            const DWORD which = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(pid));
            if (message == JOB_OBJECT_MSG_NEW_PROCESS) {
                const HANDLE process =
                    OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE,
                                FALSE, which);
                if (process) {
                    unplaced[which] = process;
                }
            } else if (message == JOB_OBJECT_MSG_EXIT_PROCESS ||
                       message == JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS) {
                // A process that ran and ended between two messages counts too: its handle
                // still names its image.
                place(result);
                mainEnded = mainEnded || which == mainPid;
                forget(running, which);
                forget(unplaced, which);
            }
            place(result);
            if (result.processes > maxProcesses && !runaway) {
                runaway = true;
                for (const auto& process : running) {
                    TerminateProcess(process.second, 998);
                }
                result.err += "\n[run] more than " + std::to_string(maxProcesses) +
                              " processes of the program started: the run was ended\n";
            }
        }
        result.leftRunning = static_cast<unsigned>(running.size() + unplaced.size());
    }

private:
    static void forget(std::map<DWORD, HANDLE>& processes, DWORD pid) {
        const auto it = processes.find(pid);
        if (it != processes.end()) {
            CloseHandle(it->second);
            processes.erase(it);
        }
    }

    // Counts the processes that have an image name by now and are the program's; lets the
    // others go.
    void place(ProcessResult& result) {
        for (auto it = unplaced.begin(); it != unplaced.end();) {
            const std::wstring path = imagePath(it->second);
            if (path.empty()) {
                ++it;
            } else if (lstrcmpiW(path.c_str(), image.c_str()) == 0) {
                running.insert(*it);
                ++result.processes;
                it = unplaced.erase(it);
            } else {
                CloseHandle(it->second);
                it = unplaced.erase(it);
            }
        }
    }

    HANDLE job;
    HANDLE port;
    std::wstring image;
    bool runaway = false;
    std::map<DWORD, HANDLE> running;
    std::map<DWORD, HANDLE> unplaced;
};

} // namespace

std::string unhex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::wstring unhexWide(const std::string& hex) {
    std::wstring out;
    for (size_t i = 0; i + 3 < hex.size(); i += 4) {
        out.push_back(static_cast<wchar_t>(std::stoi(hex.substr(i, 4), nullptr, 16)));
    }
    return out;
}

TempDir::TempDir(const std::wstring& hint) {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    static unsigned counter = 0;
    for (;;) {
        dir = std::wstring(base) + L"corvela-" + hint + L"-" +
              std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        if (CreateDirectoryW(dir.c_str(), nullptr)) {
            break;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            fail(L"CreateDirectory(" + dir + L")");
        }
    }
}

TempDir::~TempDir() {
    removeTree(dir);
}

void removeTree(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = data.cFileName;
                if (name != L"." && name != L"..") {
                    removeTree(path + L"\\" + name);
                }
            } while (FindNextFileW(find, &data));
            FindClose(find);
        }
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        RemoveDirectoryW(path.c_str());
    } else {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
    }
}

void makeDirs(const std::wstring& path) {
    for (size_t pos = path.find_first_of(L"\\/", 3);; pos = path.find_first_of(L"\\/", pos + 1)) {
        const std::wstring part = pos == std::wstring::npos ? path : path.substr(0, pos);
        if (!CreateDirectoryW(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            fail(L"CreateDirectory(" + part + L")");
        }
        if (pos == std::wstring::npos) {
            break;
        }
    }
}

void writeFile(const std::wstring& path, const std::string& bytes) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (!file) {
        fail(L"_wfopen(" + path + L")");
    }
    const size_t written = fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
    if (written != bytes.size()) {
        fail(L"fwrite(" + path + L")");
    }
}

std::string readFile(const std::wstring& path) {
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (!file) {
        return std::string();
    }
    std::string data;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0) {
        data.append(buffer, n);
    }
    fclose(file);
    return data;
}

bool waitForFileText(const std::wstring& path, const std::string& text, DWORD limitMs) {
    const std::wstring dir = path.substr(0, path.find_last_of(L"\\/"));
    const HANDLE changes = FindFirstChangeNotificationW(
        dir.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE |
                                FILE_NOTIFY_CHANGE_LAST_WRITE);
    const ULONGLONG deadline = GetTickCount64() + limitMs;
    bool found = readFile(path) == text;
    for (ULONGLONG now = GetTickCount64();
         !found && changes != INVALID_HANDLE_VALUE && now < deadline &&
         WaitForSingleObject(changes, static_cast<DWORD>(deadline - now)) == WAIT_OBJECT_0 &&
         FindNextChangeNotification(changes);
         now = GetTickCount64()) {
        found = readFile(path) == text;
    }
    if (changes != INVALID_HANDLE_VALUE) {
        FindCloseChangeNotification(changes);
    }
    return found || readFile(path) == text;
}

void copyFile(const std::wstring& from, const std::wstring& to) {
    if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) {
        fail(L"CopyFile(" + from + L", " + to + L")");
    }
}

std::vector<std::wstring> namesIn(const std::wstring& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

void copyTree(const std::wstring& from, const std::wstring& to) {
    const DWORD attributes = GetFileAttributesW(from.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        fail(L"copyTree(" + from + L"): not a directory");
    }
    makeDirs(to);
    for (const std::wstring& name : namesIn(from)) {
        const std::wstring source = from + L"\\" + name;
        if (GetFileAttributesW(source.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
            copyTree(source, to + L"\\" + name);
        } else {
            copyFile(source, to + L"\\" + name);
        }
    }
}

std::wstring env(const std::wstring& name) {
    std::vector<wchar_t> buffer(32768);
    const DWORD n =
        GetEnvironmentVariableW(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    return std::wstring(buffer.data(), n < buffer.size() ? n : 0);
}

ScopedEnv::ScopedEnv(const std::wstring& name, const std::wstring& value, bool unset) : name(name) {
    std::vector<wchar_t> buffer(32768);
    SetLastError(0);
    const DWORD n = GetEnvironmentVariableW(name.c_str(), buffer.data(), 32768);
    hadValue = GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    oldValue.assign(buffer.data(), n);
    SetEnvironmentVariableW(name.c_str(), unset ? nullptr : value.c_str());
}

ScopedEnv::~ScopedEnv() {
    SetEnvironmentVariableW(name.c_str(), hadValue ? oldValue.c_str() : nullptr);
}

NamedEvent::NamedEvent() {
    static unsigned counter = 0;
    eventName = L"corvela-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++counter);
    event = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    if (!event) {
        fail(L"CreateEvent(" + eventName + L")");
    }
}

NamedEvent::~NamedEvent() {
    CloseHandle(event);
}

std::wstring binDir() {
    wchar_t path[32768];
    const DWORD n = GetModuleFileNameW(nullptr, path, 32768);
    std::wstring p(path, n);
    return p.substr(0, p.find_last_of(L"\\/"));
}

std::wstring standinDir() {
    const std::wstring bin = binDir();
    return bin.substr(0, bin.find_last_of(L"\\/")) + L"\\standin";
}

ProcessResult run(const std::wstring& exe, const std::wstring& commandLine,
                  const std::map<std::wstring, std::wstring>& envOverrides, DWORD timeoutMs,
                  const std::wstring& workDir, const Redirections& redirections,
                  unsigned maxProcesses) {
    SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    if (!CreatePipe(&outRead, &outWrite, &inheritable, 0) ||
        !CreatePipe(&errRead, &errWrite, &inheritable, 0)) {
        fail(L"CreatePipe");
    }
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (!redirections.input.empty()) {
        input = CreateFileW(redirections.input.c_str(), GENERIC_READ, FILE_SHARE_READ, &inheritable,
                            OPEN_EXISTING, 0, nullptr);
    }
    if (!redirections.output.empty()) {
        CloseHandle(outWrite);
        outWrite = CreateFileW(redirections.output.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                               &inheritable, CREATE_ALWAYS, 0, nullptr);
    }
    if (input == INVALID_HANDLE_VALUE || outWrite == INVALID_HANDLE_VALUE) {
        fail(L"CreateFile(" + redirections.input + L" " + redirections.output + L")");
    }

    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = input;
    si.hStdOutput = outWrite;
    si.hStdError = errWrite;
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = commandLine;
    std::wstring block = environmentBlock(envOverrides);
    const BOOL created =
        CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, TRUE,
                       CREATE_UNICODE_ENVIRONMENT | (maxProcesses ? CREATE_SUSPENDED : 0),
                       &block[0], workDir.empty() ? nullptr : workDir.c_str(), &si, &pi);
    const DWORD createError = GetLastError();
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (!redirections.input.empty()) {
        CloseHandle(input);
    }
    if (!created) {
        CloseHandle(outRead);
        CloseHandle(errRead);
        SetLastError(createError);
        fail(L"CreateProcess(" + exe + L")");
    }
    PipeReader out{outRead, std::string(), nullptr};
    PipeReader err{errRead, std::string(), nullptr};
    out.thread = CreateThread(nullptr, 0, PipeReader::readAll, &out, 0, nullptr);
    err.thread = CreateThread(nullptr, 0, PipeReader::readAll, &err, 0, nullptr);

    ProcessResult result;
    result.pid = pi.dwProcessId;
    std::unique_ptr<WatchedJob> job;
    if (maxProcesses) {
        job.reset(new WatchedJob());
        job->add(pi.hProcess);
        ResumeThread(pi.hThread);
        job->follow(pi.dwProcessId, maxProcesses, GetTickCount64() + timeoutMs, result);
    }
    if (WaitForSingleObject(pi.hProcess, job ? 0 : timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 999);
        WaitForSingleObject(pi.hProcess, INFINITE);
    }
    // Whatever is left in the job ends here, before the pipes are drained.
    job.reset();
    GetExitCodeProcess(pi.hProcess, &result.exitCode);
    // Grandchildren may hold the pipes a little longer; they end with their job.
    WaitForSingleObject(out.thread, timeoutMs);
    WaitForSingleObject(err.thread, timeoutMs);
    CloseHandle(out.thread);
    CloseHandle(err.thread);
    CloseHandle(outRead);
    CloseHandle(errRead);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    result.out = redirections.output.empty() ? out.data : readFile(redirections.output);
    result.err = err.data + result.err;
    return result;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

Record Record::read(const std::wstring& path) {
    Record record;
    for (const std::string& line : splitLines(readFile(path))) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) {
            record.lines.emplace_back(line.substr(0, eq), line.substr(eq + 1));
        }
    }
    return record;
}

std::string Record::get(const std::string& key) const {
    std::string value;
    for (const auto& line : lines) {
        if (line.first == key) {
            value = line.second;
        }
    }
    return value;
}

std::vector<std::string> Record::all(const std::string& key) const {
    std::vector<std::string> values;
    for (const auto& line : lines) {
        if (line.first == key) {
            values.push_back(line.second);
        }
    }
    return values;
}

bool Record::has(const std::string& key) const {
    for (const auto& line : lines) {
        if (line.first == key) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> Record::args() const {
    std::vector<std::string> values;
    for (const std::string& hex : all("arg")) {
        values.push_back(unhex(hex));
    }
    return values;
}

} // namespace testing_support

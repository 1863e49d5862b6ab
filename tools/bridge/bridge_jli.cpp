// Bridge runtime for running application images under Wine on Linux: a bin\jli.dll whose
// JLI_Launch hands the launcher's JVM argument list to the host's `java` and returns its
// exit status. It is a tool for trying images here; it is not part of the launcher.
//
// Wine's CreateProcessW starts a Unix program but returns at once, and the exit code it
// reports is not the program's. So the bridge runs the Java program through a small shell
// script that records the exit status in a file when the program ends, and waits for that
// file. The program's output goes to files the bridge then copies to its own standard
// streams, which works for GUI and console callers alike. A non-zero status ends the process
// with that code, as System.exit does inside a real runtime.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

typedef char*(CDECL* WineGetUnixFileName)(const wchar_t*);

std::wstring fromAcp(const char* text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring out(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &out[0], n);
    out.resize(wcslen(out.c_str()));
    return out;
}

std::string toUtf8(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    out.resize(strlen(out.c_str()));
    return out;
}

std::string shellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

class Bridge {
public:
    Bridge() {
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        toUnix = reinterpret_cast<WineGetUnixFileName>(
            reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_unix_file_name")));
    }

    bool underWine() const { return toUnix != nullptr; }

    std::string unixPath(const std::wstring& windowsPath) const {
        char* mapped = toUnix(windowsPath.c_str());
        if (!mapped) {
            return toUtf8(windowsPath);
        }
        std::string result(mapped);
        HeapFree(GetProcessHeap(), 0, mapped);
        return result;
    }

    // A Windows path as a shell word for its real Unix path. Wine names drives through
    // links such as ".../dosdevices/c:", and a ":" would split a Java path list; realpath
    // follows the link to the directory it names.
    std::string shellPath(const std::wstring& windowsPath) const {
        return "\"$(realpath -m -- " + shellQuote(unixPath(windowsPath)) + ")\"";
    }

    // A ";"-separated list of Windows paths as one shell word: a ":"-separated Unix list.
    std::string shellPathList(const std::wstring& list) const {
        std::string result;
        size_t start = 0;
        while (start <= list.size()) {
            size_t end = list.find(L';', start);
            if (end == std::wstring::npos) {
                end = list.size();
            }
            if (end > start) {
                if (!result.empty()) {
                    result += ':';
                }
                result += shellPath(list.substr(start, end - start));
            }
            start = end + 1;
        }
        return result.empty() ? "''" : result;
    }

private:
    WineGetUnixFileName toUnix = nullptr;
};

std::wstring tempDir() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    for (unsigned i = 0;; ++i) {
        const std::wstring dir = std::wstring(base) + L"corvela-bridge-" +
                                 std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(i);
        if (CreateDirectoryW(dir.c_str(), nullptr)) {
            return dir;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            return std::wstring();
        }
    }
}

bool writeFile(const std::wstring& path, const std::string& bytes) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (!file) {
        return false;
    }
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && ok;
}

std::string readFile(const std::wstring& path) {
    std::string data;
    if (FILE* file = _wfopen(path.c_str(), L"rb")) {
        char buffer[65536];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0) {
            data.append(buffer, n);
        }
        fclose(file);
    }
    return data;
}

void copyTo(DWORD stdHandle, FILE* crtStream, const std::string& data) {
    if (data.empty()) {
        return;
    }
    HANDLE h = GetStdHandle(stdHandle);
    DWORD written = 0;
    if (h && h != INVALID_HANDLE_VALUE &&
        WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr)) {
        return;
    }
    fwrite(data.data(), 1, data.size(), crtStream);
    fflush(crtStream);
}

void removeTree(const std::wstring& dir) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name != L"." && name != L"..") {
                DeleteFileW((dir + L"\\" + name).c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(dir.c_str());
}

int fail(const char* message) {
    std::string text = std::string("bridge: ") + message + "\n";
    copyTo(STD_ERROR_HANDLE, stderr, text);
    return 1;
}

} // namespace

extern "C" __declspec(dllexport) int JLI_Launch(int argc, char** argv, int, const char**, int,
                                                const char**, const char*, const char*, const char*,
                                                const char*, unsigned char, unsigned char,
                                                unsigned char, int) {
    const Bridge bridge;
    if (!bridge.underWine()) {
        return fail("not running under Wine: no wine_get_unix_file_name");
    }

    // Element 0 is the launcher's own path: the host's java takes its place.
    std::string command = "java";
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = fromAcp(argv[i]);
        const std::wstring previous = i > 1 ? fromAcp(argv[i - 1]) : std::wstring();
        std::string word;
        if (previous == L"-classpath" || previous == L"-cp" || previous == L"--module-path" ||
            previous == L"-p") {
            word = bridge.shellPathList(arg);
        } else if (previous == L"-jar") {
            word = bridge.shellPath(arg);
        } else if (arg.rfind(L"-splash:", 0) == 0) {
            word = "-splash:" + bridge.shellPath(arg.substr(8));
        } else if (arg.rfind(L"-javaagent:", 0) == 0) {
            word = "-javaagent:" + bridge.shellPath(arg.substr(11));
        } else if (arg.rfind(L"-Dcorvela.instance.file=", 0) == 0) {
            // The single-instance listener's file: Java writes it where the launcher reads it.
            word = "-Dcorvela.instance.file=" + bridge.shellPath(arg.substr(24));
        } else {
            word = shellQuote(toUtf8(arg));
        }
        command += " " + word;
    }

    const std::wstring work = tempDir();
    if (work.empty()) {
        return fail("cannot create a work directory");
    }
    const std::wstring script = work + L"\\run.sh";
    const std::wstring status = work + L"\\status";
    const std::wstring out = work + L"\\out";
    const std::wstring err = work + L"\\err";
    const std::string body = "#!/bin/sh\n" + command + " >" + shellQuote(bridge.unixPath(out)) +
                             " 2>" + shellQuote(bridge.unixPath(err)) + " </dev/null\n" +
                             "echo $? >" + shellQuote(bridge.unixPath(status) + ".tmp") + "\n" +
                             "mv " + shellQuote(bridge.unixPath(status) + ".tmp") + " " +
                             shellQuote(bridge.unixPath(status)) + "\n";
    if (!writeFile(script, body)) {
        removeTree(work);
        return fail("cannot write the run script");
    }

    // Z: maps the Unix root in every Wine prefix; /bin/sh is an ELF program there.
    std::wstring cmdline =
        L"/bin/sh " + std::wstring(L"\"") + fromAcp(bridge.unixPath(script).c_str()) + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(L"Z:\\bin\\sh", &cmdline[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &pi)) {
        removeTree(work);
        return fail("cannot start /bin/sh");
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);

    // The status file appears, whole, once the Java program has ended.
    while (GetFileAttributesW(status.c_str()) == INVALID_FILE_ATTRIBUTES) {
        Sleep(50);
    }
    const int exitStatus = atoi(readFile(status).c_str());
    copyTo(STD_OUTPUT_HANDLE, stdout, readFile(out));
    copyTo(STD_ERROR_HANDLE, stderr, readFile(err));
    removeTree(work);
    // A real runtime ends the process from inside JLI_Launch when the program calls
    // System.exit, so a non-zero status never reaches the launcher as a launch failure.
    if (exitStatus != 0) {
        ExitProcess(static_cast<UINT>(exitStatus));
    }
    return 0;
}

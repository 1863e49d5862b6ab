// Bridge test support: images over the bridge runtime and the probe program, and a process
// whose streams a test talks to while it runs.
#ifndef CORVELA_BRIDGESUPPORT_H
#define CORVELA_BRIDGESUPPORT_H

#include <windows.h>

#include <memory>
#include <string>

#include "TestSupport.h"

namespace bridge_test {

// build\bridge\runtime, the bridge runtime the build makes.
std::wstring bridgeRuntimeDir();
// The probe program (java/probe/Main.java) the build compiles, and a splash image.
std::wstring probeJar();
std::wstring splashImage();

// An application image whose runtime is the bridge and whose application is the probe.
class BridgeImage {
public:
    // `launcher`: corvela.exe or corvela-console.exe from the build.
    BridgeImage(const std::wstring& root, const std::wstring& name, const std::wstring& launcher);

    std::wstring exe() const { return root + L"\\" + name + L".exe"; }
    std::wstring appDir() const { return root + L"\\app"; }

    // The configuration: the probe as the application, then `more` (lines of its own, and
    // sections after them).
    void cfg(const std::string& more = std::string()) const;

    // "PATH" as an in-process run gets it: listing the application directory, in capitals
    // so that it tells itself from the restart's addition.
    std::wstring pathListingAppDir() const;

    const std::wstring root;
    const std::wstring name;
};

enum class Stream { Output, Error };

// Reads a pipe on a thread of its own as the data arrives. Owns the pipe's read end. A
// pipe whose write end some process still holds when the reader is dropped is left to its
// thread, with a line on standard error saying so, rather than waited for.
class LineReader {
public:
    explicit LineReader(HANDLE pipe);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The next whole line, waiting for it as long as `guardMs`: what is left when the pipe
    // has ended, or "<nothing within the time>" when no line comes.
    std::string nextLine(DWORD guardMs = 60000);

    // Waits until the pipe has ended; false when it does not within `guardMs`.
    bool waitForEnd(DWORD guardMs = 60000);

    // Everything the pipe carried so far.
    std::string all();

private:
    struct Received;
    static DWORD WINAPI collect(LPVOID received);

    std::shared_ptr<Received> received;
    size_t cursor = 0;
    HANDLE thread;
};

// A started program whose standard input is a pipe the test writes to (or this process's
// console) and whose output and error are read as they arrive. Killed when dropped early.
class LiveProcess {
public:
    struct Options {
        // One pipe for both streams, as "2>&1" makes it.
        bool oneOutputPipe = false;
        // This process's own standard input (a console) instead of a pipe.
        bool inheritInput = false;
        // This process's console instead of a pipe, for standard output or standard error:
        // the stream a shell leaves on the terminal when it redirects only the other.
        bool outputToConsole = false;
        bool errorToConsole = false;
    };

    LiveProcess(const std::wstring& exe, const std::wstring& args, const Options& options);
    ~LiveProcess();
    LiveProcess(const LiveProcess&) = delete;
    LiveProcess& operator=(const LiveProcess&) = delete;

    void write(const std::string& text);
    void closeInput();

    std::string nextLine(Stream stream, DWORD guardMs = 60000) {
        return reader(stream).nextLine(guardMs);
    }

    // The exit code, once the program and its streams have ended; 999 (after ending it)
    // when it does not end within `guardMs`.
    DWORD wait(DWORD guardMs = 60000);

    // Everything a stream carried; complete after wait().
    std::string all(Stream stream) { return reader(stream).all(); }

    HANDLE process() const { return processHandle; }

private:
    LineReader& reader(Stream stream) { return stream == Stream::Output ? *out : *err; }

    std::unique_ptr<LineReader> out;
    std::unique_ptr<LineReader> err;
    HANDLE input = nullptr;
    HANDLE processHandle = nullptr;
};

} // namespace bridge_test

#endif

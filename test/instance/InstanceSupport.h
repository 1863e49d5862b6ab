// Test support for the single running instance: starts that run alongside the test, and a
// listener on loopback that plays the application's side.
#ifndef CORVELA_INSTANCESUPPORT_H
#define CORVELA_INSTANCESUPPORT_H

#include <winsock2.h>

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace instance_support {

// A manual-reset event without a name the launcher could guess; `name` is for the stand-in.
class NamedEvent {
public:
    explicit NamedEvent(const std::wstring& hint);
    ~NamedEvent() { CloseHandle(handle); }
    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;

    void set() const { SetEvent(handle); }
    bool wait(DWORD ms) const { return WaitForSingleObject(handle, ms) == WAIT_OBJECT_0; }

    const std::wstring name;
    const HANDLE handle;
};

// Runs a function on a thread of its own; join() waits for it.
class Async {
public:
    explicit Async(std::function<void()> work);
    ~Async();
    Async(const Async&) = delete;
    Async& operator=(const Async&) = delete;
    void join();

private:
    static DWORD WINAPI run(LPVOID self);
    std::function<void()> work;
    HANDLE thread;
};

// Holds threads until all of them are there, then lets them all go at once, so that starts
// meant to race are not made one after another by the time a thread takes to begin.
class StartingGate {
public:
    explicit StartingGate(size_t threads) : waiting(static_cast<LONG>(threads)) {}
    StartingGate(const StartingGate&) = delete;
    StartingGate& operator=(const StartingGate&) = delete;

    // Called by each thread once: returns when the last of them has called it.
    void arriveAndWait();

private:
    LONG waiting;
    NamedEvent open{L"gate"};
};

// One request as the listener read it.
struct Request {
    std::string bytes;                // everything after the magic and size
    std::vector<std::string> strings; // token, name, directory, arguments
};

// A listener on 127.0.0.1 that writes the file a later start reads, reads requests and
// answers those with its token ("OK", or "NO" when declining), or, refusing, closes each
// connection unanswered.
class FakeListener {
public:
    FakeListener(const std::wstring& file, bool refusing = false, DWORD pid = 0,
                 const std::string& token = "0123456789abcdef0123456789abcdef");
    ~FakeListener();
    FakeListener(const FakeListener&) = delete;
    FakeListener& operator=(const FakeListener&) = delete;

    // From now on, answers a request with its token "NO", as the running instance of an
    // application that takes no requests.
    void decline() { declining = true; }

    // Set once the listener has read this many requests (refusing: connections).
    void expect(size_t count);
    bool waitForExpected(DWORD ms) const { return expected.wait(ms); }
    std::vector<Request> requests() const;
    const std::string token;

private:
    void serve();
    SOCKET server;
    bool refusing;
    volatile bool declining = false;
    size_t expectedCount = 1;
    NamedEvent expected{L"expected"};
    mutable CRITICAL_SECTION lock;
    std::vector<Request> received;
    std::unique_ptr<Async> thread;
};

// This process's user's SID as text ("S-1-5-...").
std::wstring currentUserSid();

// The strings of a request body: a count, then each string's size and bytes.
std::vector<std::string> decodeStrings(const std::string& body);

} // namespace instance_support

#endif

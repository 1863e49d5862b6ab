// Single instance tests' support (InstanceSupport.h).
#include "InstanceSupport.h"

#include <sddl.h>

namespace instance_support {

namespace {

std::wstring uniqueName(const std::wstring& hint) {
    static LONG counter = 0;
    return L"CorvelaTest." + hint + L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
           std::to_wstring(InterlockedIncrement(&counter));
}

bool readAll(SOCKET s, char* into, size_t size) {
    size_t got = 0;
    while (got < size) {
        const int n = recv(s, into + got, static_cast<int>(size - got), 0);
        if (n <= 0) {
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

unsigned sizeAt(const std::string& bytes, size_t pos) {
    unsigned size = 0;
    for (int i = 0; i < 4; ++i) {
        size |= static_cast<unsigned>(static_cast<unsigned char>(bytes[pos + i])) << (8 * i);
    }
    return size;
}

} // namespace

NamedEvent::NamedEvent(const std::wstring& hint)
    : name(uniqueName(hint)), handle(CreateEventW(nullptr, TRUE, FALSE, name.c_str())) {}

Async::Async(std::function<void()> work)
    : work(std::move(work)), thread(CreateThread(nullptr, 0, run, this, 0, nullptr)) {}

Async::~Async() {
    join();
}

void Async::join() {
    if (thread) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        thread = nullptr;
    }
}

DWORD WINAPI Async::run(LPVOID self) {
    static_cast<Async*>(self)->work();
    return 0;
}

std::wstring currentUserSid() {
    HANDLE token = nullptr;
    BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD size = 0;
    LPWSTR text = nullptr;
    std::wstring sid;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
        GetTokenInformation(token, TokenUser, user, sizeof(user), &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &text)) {
        sid = text;
        LocalFree(text);
    }
    if (token) {
        CloseHandle(token);
    }
    return sid;
}

std::vector<std::string> decodeStrings(const std::string& body) {
    std::vector<std::string> strings;
    if (body.size() < 4) {
        return strings;
    }
    const unsigned count = sizeAt(body, 0);
    size_t pos = 4;
    for (unsigned i = 0; i < count && pos + 4 <= body.size(); ++i) {
        const unsigned size = sizeAt(body, pos);
        pos += 4;
        strings.push_back(body.substr(pos, size));
        pos += size;
    }
    return strings;
}

void StartingGate::arriveAndWait() {
    if (InterlockedDecrement(&waiting) == 0) {
        open.set();
    }
    WaitForSingleObject(open.handle, INFINITE);
}

FakeListener::FakeListener(const std::wstring& file, bool refusing, DWORD pid,
                           const std::string& token)
    : token(token), refusing(refusing) {
    InitializeCriticalSection(&lock);
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    server = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(server, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(server, 64);
    int size = sizeof(address);
    getsockname(server, reinterpret_cast<sockaddr*>(&address), &size);
    testing_support::writeFile(
        file, "corvela-instance 1\nport=" + std::to_string(ntohs(address.sin_port)) +
                  "\ntoken=" + token + "\npid=" + std::to_string(pid) + "\n");
    thread.reset(new Async([this]() { serve(); }));
}

FakeListener::~FakeListener() {
    closesocket(server);
    thread.reset();
    DeleteCriticalSection(&lock);
    WSACleanup();
}

void FakeListener::expect(size_t count) {
    EnterCriticalSection(&lock);
    expectedCount = count;
    if (received.size() >= expectedCount) {
        expected.set();
    }
    LeaveCriticalSection(&lock);
}

std::vector<Request> FakeListener::requests() const {
    EnterCriticalSection(&lock);
    std::vector<Request> copy = received;
    LeaveCriticalSection(&lock);
    return copy;
}

void FakeListener::serve() {
    for (;;) {
        const SOCKET s = accept(server, nullptr, nullptr);
        if (s == INVALID_SOCKET) {
            return;
        }
        Request request;
        char head[8];
        if (refusing) {
            request.bytes = "refused";
        } else if (readAll(s, head, sizeof(head)) && std::string(head, 4) == "CVI1") {
            const unsigned size = sizeAt(std::string(head, 8), 4);
            request.bytes.resize(size);
            if (size == 0 || readAll(s, &request.bytes[0], size)) {
                request.strings = decodeStrings(request.bytes);
                if (!request.strings.empty() && request.strings[0] == token) {
                    send(s, declining ? "NO" : "OK", 2, 0);
                }
            }
        }
        closesocket(s);
        EnterCriticalSection(&lock);
        received.push_back(request);
        if (received.size() >= expectedCount) {
            expected.set();
        }
        LeaveCriticalSection(&lock);
    }
}

} // namespace instance_support

// Single running instance (SingleInstance.h): who holds the instance, where it listens, the
// hand-over.
#include <winsock2.h>

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "AppImage.h"
#include "CfgFile.h"
#include "Dll.h"
#include "ErrorHandling.h"
#include "FileUtils.h"
#include "JvmLauncher.h"
#include "Launch.h"
#include "Log.h"
#include "SingleInstance.h"
#include "SysInfo.h"
#include "UserFolder.h"
#include "WindowsSupport.h"

namespace {

// How long a later start waits for a running instance that is still starting or ending.
const DWORD waitForRunningInstanceMs = 10000;
// How long the running instance may hold a request while its application has not yet
// registered for requests, and a little more for the answer to come back.
const DWORD answerWithinMs = 5000 + 3000;
// Waits between two looks at the listener file when no change of it is reported.
const DWORD lookAgainMs = 250;
const char requestMagic[] = "CVI1";
// The file that names the listener: written by the Java library, never larger than this.
const size_t maxListenerFileBytes = 4096;
// The jar whose agent starts the listener before the application's main method runs.
const wchar_t* const instanceJarName = L"corvela-instance.jar";

// Read once: a process asks up to three times, and an unknown value is worth one warning.
bool keyIsOn(const CfgFile& cfg) {
    static const bool on = cfg.isOn(PropertyName::singleInstance, L"true", L"false");
    return on;
}

// The instance's listener file lives in the user's folder of the image: without one, every
// start runs on its own.
bool enabledFor(const AppImage& image, const CfgFile& cfg) {
    if (!keyIsOn(cfg)) {
        return false;
    }
    if (image.userDir().empty()) {
        LOG_TRACE(L"Single instance: none, " << UserFolder::unsetReason);
        return false;
    }
    return true;
}

// FNV-1a over the lower-cased path: one instance for the exe under any spelling of its path.
tstring pathKey(const tstring& path) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const wchar_t c : tstrings::toLower(path)) {
        hash = (hash ^ static_cast<std::uint16_t>(c)) * 1099511628211ull;
    }
    static const wchar_t digits[] = L"0123456789abcdef";
    tstring key;
    for (int shift = 60; shift >= 0; shift -= 4) {
        key.push_back(digits[(hash >> shift) & 15]);
    }
    return key;
}

typedef BOOL(WINAPI* OpenProcessTokenFunc)(HANDLE, DWORD, PHANDLE);
typedef BOOL(WINAPI* GetTokenInformationFunc)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD,
                                              PDWORD);
typedef BOOL(WINAPI* ConvertSidToStringSidFunc)(PSID, LPWSTR*);

// A function of a library this launch loaded; the caller keeps the library.
template <class Function> Function lookUp(const Dll& library, const char* name) {
    return reinterpret_cast<Function>(library.getFunction(name));
}

// A library of the system, by its full path: never one that lies beside the exe.
Dll systemLibrary(const wchar_t* name) {
    return Dll(tstrings::Builder() << FileUtils::combinePath(SysInfo::getSystemDirectory(), name));
}

// The user's SID as text. Another user in the same session gets an instance of their own.
// advapi32 is loaded here rather than imported: a launch without the key loads nothing new.
tstring currentUserSid() {
    const Dll advapi = systemLibrary(L"advapi32.dll");
    const auto openProcessToken = lookUp<OpenProcessTokenFunc>(advapi, "OpenProcessToken");
    const auto getTokenInformation = lookUp<GetTokenInformationFunc>(advapi, "GetTokenInformation");
    const auto convertSid = lookUp<ConvertSidToStringSidFunc>(advapi, "ConvertSidToStringSidW");

    HANDLE rawToken = nullptr;
    if (!openProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
        THROW_LAST_ERROR(openProcessToken, L"The user's SID: OpenProcessToken() failed");
    }
    const UniqueHandle token(rawToken);
    DWORD size = 0;
    BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    if (!getTokenInformation(token.get(), TokenUser, user, sizeof(user), &size)) {
        THROW_LAST_ERROR(getTokenInformation, L"The user's SID: GetTokenInformation() failed");
    }
    LPWSTR text = nullptr;
    if (!convertSid(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &text)) {
        THROW_LAST_ERROR(convertSid, L"The user's SID: ConvertSidToStringSid() failed");
    }
    const UniqueLocalMemory<wchar_t> owned(text);
    return tstring(text);
}

// The names one instance goes by: its mutex, per user and session, and the file, in a
// directory of the user's own, where the running instance's listener says where it is.
struct Place {
    tstring mutexName;
    tstring dir;
    tstring file;

    static Place of(const AppImage& image) {
        const tstring key = pathKey(image.launcherPath());
        DWORD session = 0;
        ProcessIdToSessionId(GetCurrentProcessId(), &session);
        Place place;
        place.mutexName =
            (tstrings::Builder() << L"Local\\Corvela.Instance." << key << L"." << currentUserSid())
                .tstr();
        place.dir = image.userDir();
        place.file = FileUtils::mkpath()
                     << place.dir
                     << (tstrings::Builder() << key << L"-" << session << L".instance").tstr();
        return place;
    }

    // The place of this process's own exe, worked out once: the process that the user
    // started and that hosts the JVM asks twice, and the user's SID takes advapi32.
    static const Place& ofThisProcess(const AppImage& image) {
        static const Place place = of(image);
        return place;
    }
};

void appendSize(std::string& out, size_t size) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((size >> shift) & 0xFF));
    }
}

void appendString(std::string& out, const std::string& text) {
    appendSize(out, text.size());
    out += text;
}

tstring currentDirectory() {
    wchar_t buffer[32768];
    const DWORD n = GetCurrentDirectoryW(32768, buffer);
    return tstring(buffer, n < 32768 ? n : 0);
}

// What a later start hands over: "CVI1", the body's size, then the body: a count of
// strings and each string as its size and UTF-8 bytes: the listener's token, the name of
// this request (a listener that gets one request twice hands it on once), the current
// directory, then the arguments exactly as given. No command line and directory Windows
// allows come near the listener's limit.
std::string requestFor(const std::string& token, const std::string& name) {
    const tstring_array args = SysInfo::getCommandArgs();
    std::string body;
    appendSize(body, 3 + args.size());
    appendString(body, token);
    appendString(body, name);
    appendString(body, tstrings::toUtf8(currentDirectory()));
    for (const tstring& arg : args) {
        appendString(body, tstrings::toUtf8(arg));
    }
    std::string request(requestMagic, 4);
    appendString(request, body);
    return request;
}

// The running instance's listener as its file names it.
struct Listener {
    unsigned port = 0;
    std::string token;
    DWORD pid = 0;

    // False while the file is missing, being replaced, or does not hold a listener.
    bool read(const tstring& path) {
        const UniqueFileHandle file(CreateFileW(
            path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        char buffer[maxListenerFileBytes];
        DWORD n = 0;
        if (!file ||
            !ReadFile(file.get(), buffer, sizeof(buffer), &n, nullptr) || n == sizeof(buffer)) {
            return false;
        }
        const std::string text(buffer, n);
        if (text.rfind("corvela-instance 1\n", 0) != 0) {
            return false;
        }
        port = static_cast<unsigned>(atol(value(text, "\nport=").c_str()));
        token = value(text, "\ntoken=");
        pid = static_cast<DWORD>(atol(value(text, "\npid=").c_str()));
        return port > 0 && port < 65536 && !token.empty();
    }

private:
    static std::string value(const std::string& text, const char* name) {
        const size_t start = text.find(name);
        if (start == std::string::npos) {
            return std::string();
        }
        const size_t from = start + strlen(name);
        return text.substr(from, text.find('\n', from) - from);
    }
};

// What the running instance made of a request.
enum class Answer {
    Taken,
    // The application registered for no request in time: this start runs on its own.
    Refused,
    // Nobody listens, or the request was dropped: worth another try while the instance lives.
    Unreachable,
};

// What a later start does after offering its request.
enum class Outcome {
    HandedOver,
    HoldsTheInstance,
    RunsAlone,
};

// Set once the running instance refused this process's request: asked again, it would make
// the user wait as long again for the same answer.
bool refusedHere = false;

// The same word for the child a start restarts, naming the executable as the restart's own
// marker does: the child's request is the same request.
const wchar_t* const refusedVarName = L"CORVELA_INSTANCE_REFUSED";

// True when the process that restarted this one learned that the running instance refuses
// this start's request. Taken at once, so that no process the application starts inherits it.
bool refusedBeforeRestart(const AppImage& image) {
    const tstring refusedFor = SysInfo::getEnvVariable(refusedVarName, tstring());
    if (refusedFor.empty()) {
        return false;
    }
    SetEnvironmentVariableW(refusedVarName, nullptr);
    return refusedFor == image.launcherPath();
}

typedef int(WSAAPI* WSAStartupFunc)(WORD, LPWSADATA);
typedef int(WSAAPI* WSACleanupFunc)();
typedef SOCKET(WSAAPI* SocketFunc)(int, int, int);
typedef int(WSAAPI* ConnectFunc)(SOCKET, const sockaddr*, int);
typedef int(WSAAPI* SendFunc)(SOCKET, const char*, int, int);
typedef int(WSAAPI* RecvFunc)(SOCKET, char*, int, int);
typedef int(WSAAPI* CloseSocketFunc)(SOCKET);
typedef int(WSAAPI* SetSockOptFunc)(SOCKET, int, int, const char*, int);

// Winsock, loaded when a later start first needs it and never otherwise.
class Winsock {
public:
    Winsock()
        : lib(systemLibrary(L"ws2_32.dll")), cleanup(lookUp<WSACleanupFunc>(lib, "WSACleanup")),
          socketOf(lookUp<SocketFunc>(lib, "socket")),
          connectTo(lookUp<ConnectFunc>(lib, "connect")), sendOn(lookUp<SendFunc>(lib, "send")),
          recvOn(lookUp<RecvFunc>(lib, "recv")),
          closeSocket(lookUp<CloseSocketFunc>(lib, "closesocket")),
          setSockOpt(lookUp<SetSockOptFunc>(lib, "setsockopt")) {
        const WSAStartupFunc startup = lookUp<WSAStartupFunc>(lib, "WSAStartup");
        WSADATA data;
        const int code = startup(MAKEWORD(2, 2), &data);
        if (code != 0) {
            THROW_SYSTEM_ERROR_CODE(static_cast<DWORD>(code), startup, L"WSAStartup() failed");
        }
    }
    ~Winsock() { cleanup(); }
    Winsock(const Winsock&) = delete;
    Winsock& operator=(const Winsock&) = delete;

    // Sends the request to the loopback port and waits for the listener's "OK" or "NO".
    Answer deliver(unsigned port, const std::string& request) const {
        const SOCKET s = socketOf(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s == INVALID_SOCKET) {
            return Answer::Unreachable;
        }
        const SocketOwner owner{s, closeSocket};
        const DWORD sendTimeoutMs = 3000;
        setSockOpt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&answerWithinMs),
                   sizeof(DWORD));
        setSockOpt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendTimeoutMs),
                   sizeof(DWORD));
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = static_cast<u_short>(((port & 0xFF) << 8) | ((port >> 8) & 0xFF));
        const unsigned char loopback[4] = {127, 0, 0, 1};
        memcpy(&address.sin_addr, loopback, sizeof(loopback));
        if (connectTo(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
            return Answer::Unreachable;
        }
        for (size_t sent = 0; sent < request.size();) {
            const int n =
                sendOn(s, request.data() + sent, static_cast<int>(request.size() - sent), 0);
            if (n <= 0) {
                return Answer::Unreachable;
            }
            sent += static_cast<size_t>(n);
        }
        char ack[2];
        int got = 0;
        while (got < 2) {
            const int n = recvOn(s, ack + got, 2 - got, 0);
            if (n <= 0) {
                return Answer::Unreachable;
            }
            got += n;
        }
        if (ack[0] == 'O' && ack[1] == 'K') {
            return Answer::Taken;
        }
        return ack[0] == 'N' && ack[1] == 'O' ? Answer::Refused : Answer::Unreachable;
    }

private:
    struct SocketOwner {
        SOCKET s;
        CloseSocketFunc close;
        ~SocketOwner() { close(s); }
    };

    const Dll lib;
    const WSACleanupFunc cleanup;
    const SocketFunc socketOf;
    const ConnectFunc connectTo;
    const SendFunc sendOn;
    const RecvFunc recvOn;
    const CloseSocketFunc closeSocket;
    const SetSockOptFunc setSockOpt;
};

// Reports changes to the listener file's directory, so that a later start learns at once
// when the running instance publishes its listener.
// Without a watch (the directory cannot be watched) the wait is for the mutex alone.
class DirectoryWatch {
public:
    explicit DirectoryWatch(const tstring& dir)
        : handle(FindFirstChangeNotificationW(
              dir.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE)) {}

    // Waits for the mutex (true: it is this process's now), a change, or the time given.
    bool waitForMutexOrChange(HANDLE mutex, DWORD ms) {
        const HANDLE handles[] = {mutex, handle.get()};
        const DWORD count = handle ? 2 : 1;
        // A failed wait counts as the time passed: the deadline still ends the wait.
        const DWORD result = WaitForMultipleObjects(count, handles, FALSE, ms);
        if (result == WAIT_OBJECT_0 + 1) {
            FindNextChangeNotification(handle.get());
        }
        return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED_0;
    }

private:
    typedef UniqueResource<KeepingLastError<InvalidHandleMeansNone<&FindCloseChangeNotification>>>
        UniqueChangeNotification;

    const UniqueChangeNotification handle;
};

// An abandoned mutex is as good as a released one: the instance that held it has ended.
bool holdsMutexNow(HANDLE mutex) {
    const DWORD result = WaitForSingleObject(mutex, 0);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

class HandOver {
public:
    HandOver(const AppImage& image, const Place& place)
        : image(image), place(place),
          name((tstrings::Builder() << GetCurrentProcessId() << L"-" << GetTickCount64()).str()) {}

    // HandedOver once the running instance took this start's request; HoldsTheInstance when
    // this process got the instance, the running one having gone away; RunsAlone when the
    // running instance refused the request, now or (`refusedAlready`) before. Raises when the
    // running instance neither answers nor ends in time.
    Outcome run(HANDLE mutex, bool refusedAlready) {
        const ULONGLONG deadline = GetTickCount64() + waitForRunningInstanceMs;
        // Made only when the first look finds no listener: a start whose instance listens
        // already needs no more than that look.
        std::unique_ptr<DirectoryWatch> watch;
        for (;;) {
            if (holdsMutexNow(mutex)) {
                LOG_TRACE(L"Single instance: no running instance; this process is it");
                return Outcome::HoldsTheInstance;
            }
            if (refusedAlready) {
                LOG_TRACE(L"Single instance: the running instance refused this start's request "
                          L"already; this process runs on its own");
                return Outcome::RunsAlone;
            }
            const Answer answer = tryOnce();
            if (answer == Answer::Taken) {
                return Outcome::HandedOver;
            }
            if (answer == Answer::Refused) {
                return Outcome::RunsAlone;
            }
            if (!watch) {
                FileUtils::makeDirectory(place.dir);
                watch.reset(new DirectoryWatch(place.dir));
                // Once more: a change made before the watch began is not reported.
                continue;
            }
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline) {
                THROW_ERROR(LauncherError(
                    (tstrings::Builder() << L"The running instance of " << image.launcherPath()
                                         << L" did not take the request within "
                                         << waitForRunningInstanceMs / 1000 << L" seconds")
                        .str()));
            }
            const DWORD left = static_cast<DWORD>(deadline - now);
            if (watch->waitForMutexOrChange(mutex, left < lookAgainMs ? left : lookAgainMs)) {
                LOG_TRACE(L"Single instance: the running instance ended; this process is it");
                return Outcome::HoldsTheInstance;
            }
        }
    }

    // What the running instance made of this start's request at one try.
    Answer tryOnce() {
        Listener listener;
        if (!listener.read(place.file)) {
            return Answer::Unreachable;
        }
        if (request.empty() || listener.token != token) {
            token = listener.token;
            request = requestFor(token, name);
        }
        if (listener.pid) {
            // Before the request: the running instance may bring its window forward for it.
            AllowSetForegroundWindow(listener.pid);
        }
        if (!winsock) {
            winsock.reset(new Winsock());
        }
        const Answer answer = winsock->deliver(listener.port, request);
        LOG_TRACE(L"Single instance: request of "
                  << request.size() << L" bytes to process " << listener.pid << L", port "
                  << listener.port
                  << (answer == Answer::Taken     ? L": taken"
                      : answer == Answer::Refused ? L": refused, the application takes no "
                                                    L"requests; this process runs on its own"
                                                  : L": not taken"));
        if (answer == Answer::Refused) {
            refusedHere = true;
        }
        return answer;
    }

private:
    const AppImage& image;
    const Place& place;
    // Unique among the starts the listener may see: a live process's id and its start.
    const std::string name;
    std::string token;
    std::string request;
    std::unique_ptr<Winsock> winsock;
};

tstring instanceJarOnClassPath(const CfgFile& cfg) {
    const tstring_array& classPath = cfg.values(SectionName::Application, PropertyName::classpath);
    for (const tstring& path : tstrings::split(joinedValues(classPath), L";")) {
        if (tstrings::toLower(FileUtils::basename(path)) == instanceJarName) {
            return path;
        }
    }
    return tstring();
}

// Tells the JVM where to publish its listener.
void publishTo(const Launch& launch, const Place& place) {
    FileUtils::makeDirectory(place.dir);
    launch.jvm.addOption(L"-Dcorvela.instance.file=" + place.file);
}

} // namespace

bool SingleInstance::join(const Launch& launch) {
    if (!enabledFor(launch.image, launch.cfg)) {
        return false;
    }
    TRACE_FUNCTION();
    const bool refusedAlready = refusedBeforeRestart(launch.image) || refusedHere;
    const Place& place = Place::ofThisProcess(launch.image);
    UniqueHandle mutex(CreateMutexW(nullptr, FALSE, place.mutexName.c_str()));
    if (!mutex) {
        THROW_LAST_ERROR(&CreateMutexW, L"CreateMutexW(" << place.mutexName << L") failed");
    }
    LOG_TRACE(L"Single instance: mutex " << place.mutexName << L", listener file " << place.file);
    const Outcome outcome = HandOver(launch.image, place).run(mutex.get(), refusedAlready);
    if (outcome == Outcome::HandedOver) {
        return true;
    }
    if (outcome == Outcome::RunsAlone) {
        // Neither holds the instance nor publishes a listener: the running one keeps both.
        return false;
    }
    // Held until the process ends: the instance is this process's for as long as it lives.
    mutex.release();
    publishTo(launch, place);
    return false;
}

bool SingleInstance::handOverIfListening(const AppImage& image, const CfgFile& cfg) {
    if (!enabledFor(image, cfg)) {
        return false;
    }
    TRACE_FUNCTION();
    const Place& place = Place::ofThisProcess(image);
    // Opened, never created: this process may restart, and only the process that hosts the
    // JVM may hold the instance.
    const UniqueHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, place.mutexName.c_str()));
    if (!mutex) {
        LOG_TRACE(L"Single instance: no running instance yet");
        return false;
    }
    const Answer answer = HandOver(image, place).tryOnce();
    if (answer == Answer::Refused) {
        // Inherited by the child a restart makes.
        SysInfo::setEnvVariable(refusedVarName, image.launcherPath());
    }
    return answer == Answer::Taken;
}

void SingleInstance::listenBeforeMain(const Launch& launch) {
    if (!keyIsOn(launch.cfg) || launch.image.userDir().empty()) {
        return;
    }
    // The library's agent starts the listener before the application's main method, so that
    // no request waits for the application.
    const tstring jar = instanceJarOnClassPath(launch.cfg);
    if (!jar.empty()) {
        launch.jvm.addOption(L"-javaagent:" + jar);
    }
}

void SingleInstance::nameHost(const Launch& launch) {
    if (!keyIsOn(launch.cfg) || launch.image.userDir().empty()) {
        return;
    }
    // The listener publishes this process's id beside its port, for a later start to let
    // this process take the foreground: Java cannot know it under every runtime.
    launch.jvm.addOption(
        (tstrings::Builder() << L"-Dcorvela.instance.pid=" << GetCurrentProcessId()).tstr());
}

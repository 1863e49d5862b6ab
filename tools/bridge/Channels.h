// Loopback connections between the bridge and the host's shell, each named by its first line.
#ifndef CORVELA_BRIDGE_CHANNELS_H
#define CORVELA_BRIDGE_CHANNELS_H

#include <winsock2.h>

#include <map>
#include <string>

#include "WindowsSupport.h"

namespace bridge {

// A socket means none by INVALID_SOCKET, not by zero.
struct SocketTraits {
    typedef SOCKET Type;
    static SOCKET none() { return INVALID_SOCKET; }
    static void close(SOCKET s) { closesocket(s); }
};
typedef UniqueResource<SocketTraits> UniqueSocket;

// Holds Winsock for its lifetime.
class Winsock {
public:
    Winsock();
    ~Winsock();
    Winsock(const Winsock&) = delete;
    Winsock& operator=(const Winsock&) = delete;
};

// Listens on a loopback port for the host's shell. Each connection starts with a line
// "<token> <role>"; one with another token is dropped, so only the script this bridge wrote
// can take a role.
class Channels {
public:
    Channels();

    int port() const { return listenPort; }
    const std::string& token() const { return secret; }

    // Accepts connections until every role in `roles` has one; throws when the shell does
    // not connect within `timeoutMs`.
    std::map<std::string, UniqueSocket> accept(size_t roles, DWORD timeoutMs);

private:
    UniqueSocket listener;
    int listenPort = 0;
    std::string secret;
};

// Reads one line (without its end) from a connection; false at its end.
bool readLine(SOCKET s, std::string& line);

} // namespace bridge

#endif

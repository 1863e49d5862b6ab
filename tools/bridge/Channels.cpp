// Loopback connections between the bridge and the host's shell, each named by its first line.
#define _CRT_RAND_S
#include "Channels.h"

#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace bridge {

namespace {

std::string randomToken() {
    std::string token;
    for (int i = 0; i < 4; ++i) {
        unsigned int value = 0;
        if (rand_s(&value) != 0) {
            throw std::runtime_error("no random numbers for the connection token");
        }
        char hex[9];
        snprintf(hex, sizeof(hex), "%08x", value);
        token += hex;
    }
    return token;
}

// The first line of a fresh connection, read within `timeoutMs`.
bool readGreeting(SOCKET s, DWORD timeoutMs, std::string& line) {
    DWORD timeout = timeoutMs;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof(timeout));
    const bool ok = readLine(s, line);
    timeout = 0;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof(timeout));
    return ok;
}

} // namespace

Winsock::Winsock() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        throw std::runtime_error("Winsock does not start");
    }
}

Winsock::~Winsock() {
    WSACleanup();
}

Channels::Channels() : secret(randomToken()) {
    listener.reset(
        WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    if (listener.get() == INVALID_SOCKET ||
        bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener.get(), 8) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot listen on a loopback port for the host's shell");
    }
    listenPort = ntohs(address.sin_port);
}

std::map<std::string, UniqueSocket> Channels::accept(size_t roles, DWORD timeoutMs) {
    std::map<std::string, UniqueSocket> connections;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (connections.size() < roles) {
        const ULONGLONG now = GetTickCount64();
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(listener.get(), &ready);
        const ULONGLONG left = deadline > now ? deadline - now : 0;
        timeval wait = {static_cast<long>(left / 1000), static_cast<long>(left % 1000 * 1000)};
        if (left == 0 || select(0, &ready, nullptr, nullptr, &wait) <= 0) {
            throw std::runtime_error("the host's shell did not connect (is /bin/bash there?)");
        }
        UniqueSocket connection(::accept(listener.get(), nullptr, nullptr));
        std::string line;
        if (connection.get() == INVALID_SOCKET ||
            !readGreeting(connection.get(), timeoutMs, line) ||
            line.compare(0, secret.size() + 1, secret + " ") != 0) {
            continue;
        }
        connections[line.substr(secret.size() + 1)] = std::move(connection);
    }
    return connections;
}

bool readLine(SOCKET s, std::string& line) {
    line.clear();
    char c;
    while (recv(s, &c, 1, 0) == 1) {
        if (c == '\n') {
            return true;
        }
        line += c;
    }
    return false;
}

} // namespace bridge

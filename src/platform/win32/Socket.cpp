// Windows Sockets. The agent asks for version 1.1 (SockStartup(0x0101)); the calls used here
// exist in every version.
#include "platform/Socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>

namespace plat {

namespace {

SOCKET S(SockFd s) {
    return static_cast<SOCKET>(s);
}

// Every call that makes a socket first makes sure the library is initialised, asking for 2.2
// (programs other than the agent, the tests among them, need not call SockStartup themselves).
// The agent's listener asks for 1.1 first; the library counts both starts.
void EnsureStartup() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(0x0202, &data) == 0;
    }();
    (void)started;
}

void SetErr(char* err, size_t cap, const char* what, int e) {
    if (err != nullptr && cap > 0) std::snprintf(err, cap, "%s: Winsock error %d", what, e);
}

// Waits until s is ready (read when `forRead`); >0 ready, 0 time-out, <0 error.
int WaitSock(SOCKET s, bool forRead, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    fd_set err;
    FD_ZERO(&err);
    FD_SET(s, &err);
    int r = select(0, forRead ? &set : nullptr, forRead ? nullptr : &set, &err, &tv);
    if (r > 0 && FD_ISSET(s, &err) && !FD_ISSET(s, &set)) return -1;
    return r;
}

}  // namespace

int SockMaxBacklog() {
    return SOMAXCONN;
}

bool SockStartup(uint16_t version) {
    WSADATA data;
    return WSAStartup(version, &data) == 0;
}

SockFd SockTcpListen(uint32_t addr, uint16_t port, int backlog, char* err, size_t errCap) {
    EnsureStartup();
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        SetErr(err, errCap, "socket", WSAGetLastError());
        return kInvalidSock;
    }
    // Another program may not bind the same port while we hold it.
    BOOL one = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(addr);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == SOCKET_ERROR) {
        SetErr(err, errCap, "bind", WSAGetLastError());
        closesocket(s);
        return kInvalidSock;
    }
    if (listen(s, backlog) == SOCKET_ERROR) {
        SetErr(err, errCap, "listen", WSAGetLastError());
        closesocket(s);
        return kInvalidSock;
    }
    return static_cast<SockFd>(s);
}

SockFd SockAccept(SockFd listenSock, uint32_t* peerAddr) {
    sockaddr_in peer{};
    int len = sizeof peer;
    SOCKET s = accept(S(listenSock), reinterpret_cast<sockaddr*>(&peer), &len);
    if (peerAddr != nullptr)
        *peerAddr =
            s != INVALID_SOCKET && peer.sin_family == AF_INET ? ntohl(peer.sin_addr.s_addr) : 0;
    return s == INVALID_SOCKET ? kInvalidSock : static_cast<SockFd>(s);
}

bool SockSetTimeouts(SockFd sock, int recvMs, int sendMs) {
    const DWORD r = static_cast<DWORD>(recvMs);
    const DWORD w = static_cast<DWORD>(sendMs);
    return setsockopt(S(sock), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&r),
                      sizeof r) == 0 &&
           setsockopt(S(sock), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&w),
                      sizeof w) == 0;
}

uint16_t SockLocalPort(SockFd sock) {
    sockaddr_storage a{};
    int len = sizeof a;
    if (getsockname(S(sock), reinterpret_cast<sockaddr*>(&a), &len) == SOCKET_ERROR) return 0;
    if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
    return 0;
}

SockFd SockTcpConnect(const char* host, uint16_t port, int timeoutMs, char* err, size_t errCap) {
    EnsureStartup();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    char portText[8];
    std::snprintf(portText, sizeof portText, "%u", static_cast<unsigned>(port));
    addrinfo* list = nullptr;
    if (getaddrinfo(host, portText, &hints, &list) != 0) {
        if (err != nullptr && errCap > 0) std::snprintf(err, errCap, "cannot resolve %s", host);
        return kInvalidSock;
    }
    int lastErr = WSAECONNREFUSED;
    SOCKET result = INVALID_SOCKET;
    for (addrinfo* ai = list; ai != nullptr && result == INVALID_SOCKET; ai = ai->ai_next) {
        SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (s == INVALID_SOCKET) continue;
        u_long nb = 1;
        ioctlsocket(s, FIONBIO, &nb);
        int r = connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen));
        if (r == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
            int w = WaitSock(s, false, timeoutMs);
            if (w > 0) {
                int soErr = 0;
                int sl = sizeof soErr;
                getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soErr), &sl);
                r = soErr == 0 ? 0 : SOCKET_ERROR;
                if (soErr != 0) lastErr = soErr;
            } else {
                lastErr = w == 0 ? WSAETIMEDOUT : WSAECONNREFUSED;
                r = SOCKET_ERROR;
            }
        } else if (r == SOCKET_ERROR) {
            lastErr = WSAGetLastError();
        }
        if (r == SOCKET_ERROR) {
            closesocket(s);
            continue;
        }
        nb = 0;
        ioctlsocket(s, FIONBIO, &nb);
        result = s;
    }
    freeaddrinfo(list);
    if (result == INVALID_SOCKET) {
        SetErr(err, errCap, "connect", lastErr);
        return kInvalidSock;
    }
    return static_cast<SockFd>(result);
}

int SockSend(SockFd sock, const void* buf, int len) {
    int n = send(S(sock), static_cast<const char*>(buf), len, 0);
    if (n != SOCKET_ERROR) return n;
    return WSAGetLastError() == WSAETIMEDOUT ? -2 : -1;
}

int SockSendTimeout(SockFd sock, const void* buf, int len, int timeoutMs) {
    if (timeoutMs <= 0) return -2;
    DWORD ms = static_cast<DWORD>(timeoutMs);
    if (setsockopt(S(sock), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms),
                   sizeof ms) != 0)
        return -1;
    int n = send(S(sock), static_cast<const char*>(buf), len, 0);
    if (n != SOCKET_ERROR) return n;
    return WSAGetLastError() == WSAETIMEDOUT ? -2 : -1;
}

int SockRecv(SockFd sock, void* buf, int len) {
    int n = recv(S(sock), static_cast<char*>(buf), len, 0);
    if (n != SOCKET_ERROR) return n;
    return WSAGetLastError() == WSAETIMEDOUT ? -2 : -1;
}

int SockRecvTimeout(SockFd sock, void* buf, int len, int timeoutMs) {
    int w = WaitSock(S(sock), true, timeoutMs);
    if (w == 0) return -2;
    if (w < 0) return -1;
    return SockRecv(sock, buf, len);
}

void SockShutdownSend(SockFd sock) {
    shutdown(S(sock), SD_SEND);
}

void SockClose(SockFd sock) {
    if (sock != kInvalidSock) closesocket(S(sock));
}

}  // namespace plat

namespace plat {

namespace {

sockaddr_in V4(uint32_t addr, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(addr);
    return a;
}

}  // namespace

SockFd SockUdpBind(uint32_t addr, uint16_t port, bool* inUse, char* err, size_t errCap) {
    if (inUse != nullptr) *inUse = false;
    EnsureStartup();
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
        SetErr(err, errCap, "socket", WSAGetLastError());
        return kInvalidSock;
    }
    BOOL one = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    sockaddr_in a = V4(addr, port);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == SOCKET_ERROR) {
        int e = WSAGetLastError();
        if (inUse != nullptr) *inUse = e == WSAEADDRINUSE || e == WSAEACCES;
        SetErr(err, errCap, "bind", e);
        closesocket(s);
        return kInvalidSock;
    }
    return static_cast<SockFd>(s);
}

bool SockUdpAllowBroadcast(SockFd sock) {
    BOOL one = TRUE;
    return setsockopt(S(sock), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&one),
                      sizeof one) == 0;
}

bool SockIsBroadcastAddr(uint32_t addr) {
    return addr == 0xFFFFFFFFu;
}

int SockUdpSendTo(SockFd sock, uint32_t addr, uint16_t port, const void* buf, int len, char* err,
                  size_t errCap) {
    sockaddr_in a = V4(addr, port);
    int n = sendto(S(sock), static_cast<const char*>(buf), len, 0, reinterpret_cast<sockaddr*>(&a),
                   sizeof a);
    if (n == SOCKET_ERROR) {
        SetErr(err, errCap, "sendto", WSAGetLastError());
        return -1;
    }
    return n;
}

int SockUdpRecvFrom(SockFd sock, void* buf, int len, int timeoutMs, uint32_t* peerAddr,
                    uint16_t* peerPort, char* peerText, size_t peerTextCap) {
    if (len < 0) return -1;
    int w = WaitSock(S(sock), true, timeoutMs);
    if (w == 0) return -2;
    if (w < 0) return -1;
    sockaddr_in from{};
    int fromLen = sizeof from;
    int n = recvfrom(S(sock), static_cast<char*>(buf), len, 0, reinterpret_cast<sockaddr*>(&from),
                     &fromLen);
    // A datagram longer than the buffer: its first `len` bytes were stored.
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEMSGSIZE) n = len + 1;
    if (n == SOCKET_ERROR) return -1;
    uint32_t a = ntohl(from.sin_addr.s_addr);
    if (peerAddr != nullptr) *peerAddr = a;
    if (peerPort != nullptr) *peerPort = ntohs(from.sin_port);
    if (peerText != nullptr) SockAddrText(a, peerText, peerTextCap);
    return n;
}

void SockAddrText(uint32_t addr, char* buf, size_t cap) {
    if (buf == nullptr || cap == 0) return;
    std::snprintf(buf, cap, "%u.%u.%u.%u", (addr >> 24) & 0xFFu, (addr >> 16) & 0xFFu,
                  (addr >> 8) & 0xFFu, addr & 0xFFu);
}

bool SockResolveIpv4(const char* host, uint32_t* addr, char* err, size_t errCap) {
    if (host == nullptr || host[0] == '\0') {
        if (err != nullptr && errCap > 0) std::snprintf(err, errCap, "empty address");
        return false;
    }
    EnsureStartup();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &list) != 0 || list == nullptr) {
        if (err != nullptr && errCap > 0) std::snprintf(err, errCap, "cannot resolve %s", host);
        if (list != nullptr) freeaddrinfo(list);
        return false;
    }
    *addr = ntohl(reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(list);
    return true;
}

bool SockHostName(char* buf, size_t cap) {
    if (buf == nullptr || cap == 0) return false;
    EnsureStartup();
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        buf[0] = '\0';
        return false;
    }
    std::snprintf(buf, cap, "%s", name);
    return true;
}

}  // namespace plat

// Windows Sockets 2.2: the version whose calls this file uses.
#include "platform/Socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstddef>
#include <cstdio>
#include <vector>

#include "platform/SockAddr.h"

namespace plat {

namespace {

static_assert(sizeof(sockaddr_in) == sizeof(SockAddrV4) && AF_INET == SOCK_FAMILY_INET &&
                  offsetof(sockaddr_in, sin_port) == offsetof(SockAddrV4, port) &&
                  offsetof(sockaddr_in, sin_addr) == offsetof(SockAddrV4, addr),
              "SockAddrV4 is laid out as this host's sockaddr_in");

const sockaddr* AsSockAddr(const SockAddrV4& a) {
    return reinterpret_cast<const sockaddr*>(&a);
}

SOCKET S(SockFd s) {
    return static_cast<SOCKET>(s);
}

// Starts the library once per process, asking for version 2.2. Every call that makes a socket
// does this first, so programs other than the agent, the tests among them, need not call
// SockStartup themselves.
bool EnsureStartup() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
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

bool SockStartup() {
    return EnsureStartup();
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
    const SockAddrV4 a = MakeSockAddrV4(addr, port);
    if (bind(s, AsSockAddr(a), sizeof a) == SOCKET_ERROR) {
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
    const SockAddrV4 a = MakeSockAddrV4(addr, port);
    if (bind(s, AsSockAddr(a), sizeof a) == SOCKET_ERROR) {
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
    if (addr == 0xFFFFFFFFu) return true;
    // The interface list gives each address with its netmask (its broadcast field always holds
    // the limited broadcast address): the broadcast address is the address with every host bit
    // set.
    if (!EnsureStartup()) return false;
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) return false;
    std::vector<INTERFACE_INFO> list(32);
    DWORD bytes = 0;
    int r;
    for (;;) {
        r = WSAIoctl(s, SIO_GET_INTERFACE_LIST, nullptr, 0, list.data(),
                     static_cast<DWORD>(list.size() * sizeof(INTERFACE_INFO)), &bytes, nullptr,
                     nullptr);
        if (r == 0 || WSAGetLastError() != WSAEFAULT || list.size() >= 1024) break;
        list.resize(list.size() * 2);
    }
    closesocket(s);
    if (r != 0) return false;
    bool found = false;
    const size_t count = bytes / sizeof(INTERFACE_INFO);
    for (size_t i = 0; i < count && i < list.size() && !found; ++i) {
        const INTERFACE_INFO& info = list[i];
        if ((info.iiFlags & IFF_BROADCAST) == 0) continue;
        uint32_t ifAddr = 0;
        uint32_t mask = 0;
        uint16_t unusedPort = 0;
        if (!ReadSockAddrV4(&info.iiAddress, sizeof info.iiAddress, &ifAddr, &unusedPort) ||
            !ReadSockAddrV4(&info.iiNetmask, sizeof info.iiNetmask, &mask, &unusedPort))
            continue;
        found = mask != 0xFFFFFFFFu && (ifAddr | ~mask) == addr;
    }
    return found;
}

int SockUdpSendTo(SockFd sock, uint32_t addr, uint16_t port, const void* buf, int len, char* err,
                  size_t errCap) {
    const SockAddrV4 a = MakeSockAddrV4(addr, port);
    int n = sendto(S(sock), static_cast<const char*>(buf), len, 0, AsSockAddr(a), sizeof a);
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
    uint32_t a = 0;
    uint16_t p = 0;
    ReadSockAddrV4(&from, static_cast<size_t>(fromLen), &a, &p);
    if (peerAddr != nullptr) *peerAddr = a;
    if (peerPort != nullptr) *peerPort = p;
    if (peerText != nullptr) SockAddrText(a, peerText, peerTextCap);
    return n;
}

bool SockResolveIpv4(const char* host, uint32_t* addr, char* err, size_t errCap) {
    if (host == nullptr || host[0] == '\0') {
        if (err != nullptr && errCap > 0) std::snprintf(err, errCap, "empty address");
        return false;
    }
    if (ParseDottedV4(host, addr)) return true;
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
    uint16_t unusedPort = 0;
    ReadSockAddrV4(list->ai_addr, list->ai_addrlen, addr, &unusedPort);
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

#include "platform/Socket.h"

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

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

void SetErr(char* err, size_t cap, const char* what, int e) {
    if (err != nullptr && cap > 0) std::snprintf(err, cap, "%s: %s", what, std::strerror(e));
}

int Fd(SockFd s) {
    return static_cast<int>(s);
}

// Waits until fd is ready for `events`; returns >0 ready, 0 time-out, <0 error.
int WaitFd(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    for (;;) {
        int r = poll(&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

}  // namespace

int SockMaxBacklog() {
    return SOMAXCONN;
}

// POSIX sockets need no set-up.
bool SockStartup() {
    return true;
}

SockFd SockTcpListen(uint32_t addr, uint16_t port, int backlog, char* err, size_t errCap) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SetErr(err, errCap, "socket", errno);
        return kInvalidSock;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const SockAddrV4 a = MakeSockAddrV4(addr, port);
    if (bind(fd, AsSockAddr(a), sizeof a) < 0) {
        SetErr(err, errCap, "bind", errno);
        close(fd);
        return kInvalidSock;
    }
    if (listen(fd, backlog) < 0) {
        SetErr(err, errCap, "listen", errno);
        close(fd);
        return kInvalidSock;
    }
    return fd;
}

SockFd SockAccept(SockFd listenSock, uint32_t* peerAddr) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = accept4(Fd(listenSock), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (peerAddr != nullptr)
        *peerAddr = fd >= 0 && peer.sin_family == AF_INET ? ntohl(peer.sin_addr.s_addr) : 0;
    return fd < 0 ? kInvalidSock : fd;
}

bool SockSetTimeouts(SockFd sock, int recvMs, int sendMs) {
    const timeval r{recvMs / 1000, (recvMs % 1000) * 1000};
    const timeval w{sendMs / 1000, (sendMs % 1000) * 1000};
    return setsockopt(Fd(sock), SOL_SOCKET, SO_RCVTIMEO, &r, sizeof r) == 0 &&
           setsockopt(Fd(sock), SOL_SOCKET, SO_SNDTIMEO, &w, sizeof w) == 0;
}

uint16_t SockLocalPort(SockFd sock) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (getsockname(Fd(sock), reinterpret_cast<sockaddr*>(&a), &len) < 0) return 0;
    if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
    return 0;
}

SockFd SockTcpConnect(const char* host, uint16_t port, int timeoutMs, char* err, size_t errCap) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    char portText[8];
    std::snprintf(portText, sizeof portText, "%u", static_cast<unsigned>(port));
    addrinfo* list = nullptr;
    int gai = getaddrinfo(host, portText, &hints, &list);
    if (gai != 0) {
        if (err != nullptr && errCap > 0)
            std::snprintf(err, errCap, "cannot resolve %s: %s", host, gai_strerror(gai));
        return kInvalidSock;
    }
    int lastErr = ECONNREFUSED;
    const char* lastWhat = "connect";
    int result = -1;
    for (addrinfo* ai = list; ai != nullptr && result < 0; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            lastErr = errno;
            lastWhat = "socket";
            continue;
        }
        int r = connect(fd, ai->ai_addr, ai->ai_addrlen);
        if (r < 0 && errno == EINPROGRESS) {
            int w = WaitFd(fd, POLLOUT, timeoutMs);
            if (w == 0) {
                lastErr = ETIMEDOUT;
                close(fd);
                continue;
            }
            int soErr = 0;
            socklen_t sl = sizeof soErr;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &sl);
            r = soErr == 0 ? 0 : -1;
            errno = soErr;
        }
        if (r < 0) {
            lastErr = errno;
            lastWhat = "connect";
            close(fd);
            continue;
        }
        int flags = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        result = fd;
    }
    freeaddrinfo(list);
    if (result < 0) {
        SetErr(err, errCap, lastWhat, lastErr);
        return kInvalidSock;
    }
    return result;
}

int SockSend(SockFd sock, const void* buf, int len) {
    for (;;) {
        ssize_t n = send(Fd(sock), buf, static_cast<size_t>(len), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? -2 : -1;
        return static_cast<int>(n);
    }
}

int SockSendTimeout(SockFd sock, const void* buf, int len, int timeoutMs) {
    if (timeoutMs <= 0) return -2;
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (setsockopt(Fd(sock), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) return -1;
    for (;;) {
        ssize_t n = send(Fd(sock), buf, static_cast<size_t>(len), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? -2 : -1;
        return static_cast<int>(n);
    }
}

int SockRecv(SockFd sock, void* buf, int len) {
    for (;;) {
        ssize_t n = recv(Fd(sock), buf, static_cast<size_t>(len), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? -2 : -1;
        return static_cast<int>(n);
    }
}

int SockRecvTimeout(SockFd sock, void* buf, int len, int timeoutMs) {
    int w = WaitFd(Fd(sock), POLLIN, timeoutMs);
    if (w == 0) return -2;
    if (w < 0) return -1;
    return SockRecv(sock, buf, len);
}

void SockShutdownSend(SockFd sock) {
    shutdown(Fd(sock), SHUT_WR);
}

void SockClose(SockFd sock) {
    if (sock != kInvalidSock) close(Fd(sock));
}

SockFd SockUdpBind(uint32_t addr, uint16_t port, bool* inUse, char* err, size_t errCap) {
    if (inUse != nullptr) *inUse = false;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SetErr(err, errCap, "socket", errno);
        return kInvalidSock;
    }
    const SockAddrV4 a = MakeSockAddrV4(addr, port);
    if (bind(fd, AsSockAddr(a), sizeof a) < 0) {
        int e = errno;
        if (inUse != nullptr) *inUse = e == EADDRINUSE;
        SetErr(err, errCap, "bind", e);
        close(fd);
        return kInvalidSock;
    }
    return fd;
}

bool SockUdpAllowBroadcast(SockFd sock) {
    int one = 1;
    return setsockopt(Fd(sock), SOL_SOCKET, SO_BROADCAST, &one, sizeof one) == 0;
}

bool SockIsBroadcastAddr(uint32_t addr) {
    if (addr == 0xFFFFFFFFu) return true;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (ifaddrs* i = list; i != nullptr && !found; i = i->ifa_next) {
        if ((i->ifa_flags & IFF_BROADCAST) == 0 || i->ifa_broadaddr == nullptr) continue;
        if (i->ifa_broadaddr->sa_family != AF_INET) continue;
        uint32_t b = 0;
        uint16_t unusedPort = 0;
        found = ReadSockAddrV4(i->ifa_broadaddr, sizeof(sockaddr_in), &b, &unusedPort) && b == addr;
    }
    freeifaddrs(list);
    return found;
}

int SockUdpSendTo(SockFd sock, uint32_t addr, uint16_t port, const void* buf, int len, char* err,
                  size_t errCap) {
    if (len < 0) {
        SetErr(err, errCap, "sendto", EINVAL);
        return -1;
    }
    const SockAddrV4 a = MakeSockAddrV4(addr, port);
    for (;;) {
        ssize_t n =
            sendto(Fd(sock), buf, static_cast<size_t>(len), MSG_NOSIGNAL, AsSockAddr(a), sizeof a);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            SetErr(err, errCap, "sendto", errno);
            return -1;
        }
        return static_cast<int>(n);
    }
}

int SockUdpRecvFrom(SockFd sock, void* buf, int len, int timeoutMs, uint32_t* peerAddr,
                    uint16_t* peerPort, char* peerText, size_t peerTextCap) {
    if (len < 0) return -1;
    int w = WaitFd(Fd(sock), POLLIN, timeoutMs);
    if (w == 0) return -2;
    if (w < 0) return -1;
    sockaddr_storage from{};
    socklen_t fromLen = sizeof from;
    ssize_t n;
    do {
        // MSG_TRUNC: the result is the datagram's real size even when the buffer was shorter.
        n = recvfrom(Fd(sock), buf, static_cast<size_t>(len), MSG_TRUNC | MSG_DONTWAIT,
                     reinterpret_cast<sockaddr*>(&from), &fromLen);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? -2 : -1;
    uint32_t a = 0;
    uint16_t p = 0;
    ReadSockAddrV4(&from, fromLen, &a, &p);
    if (peerAddr != nullptr) *peerAddr = a;
    if (peerPort != nullptr) *peerPort = p;
    if (peerText != nullptr) SockAddrText(a, peerText, peerTextCap);
    return n > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(n);
}

bool SockResolveIpv4(const char* host, uint32_t* addr, char* err, size_t errCap) {
    if (host == nullptr || host[0] == '\0') {
        if (err != nullptr && errCap > 0) std::snprintf(err, errCap, "empty address");
        return false;
    }
    if (ParseDottedV4(host, addr)) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    int gai = getaddrinfo(host, nullptr, &hints, &list);
    if (gai != 0 || list == nullptr) {
        if (err != nullptr && errCap > 0)
            std::snprintf(err, errCap, "cannot resolve %s: %s", host,
                          gai != 0 ? gai_strerror(gai) : "no IPv4 address");
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
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        buf[0] = '\0';
        return false;
    }
    std::snprintf(buf, cap, "%s", name);
    return true;
}

}  // namespace plat

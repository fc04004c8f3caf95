#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace plat {

namespace {

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

bool SockStartup(uint16_t) {
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
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
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

SockFd SockAccept(SockFd listenSock) {
    sockaddr_in peer{};  // received and not used
    socklen_t len = sizeof peer;
    int fd = accept4(Fd(listenSock), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    return fd < 0 ? kInvalidSock : fd;
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
        return n < 0 ? -1 : static_cast<int>(n);
    }
}

int SockRecv(SockFd sock, void* buf, int len) {
    for (;;) {
        ssize_t n = recv(Fd(sock), buf, static_cast<size_t>(len), 0);
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? -1 : static_cast<int>(n);
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

}  // namespace plat

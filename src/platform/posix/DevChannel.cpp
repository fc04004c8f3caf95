// The device channel over Unix stream sockets: <root>/dev/ScsiN stands for the SCSI port
// device "\\.\ScsiN: ". One connection carries one request and its answer.
#include "platform/DevChannel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace plat {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kHeaderLen = 28;  // the request block's header; the smallest n and n2
constexpr size_t kNameMax = 64;      // longest device name accepted after stripping

void PutU32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until fd is ready for `events` or the deadline passes. Returns 0 when ready, else the
// error number (ETIMEDOUT on expiry).
int WaitReady(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, RemainingMs(deadline));
        if (r > 0) return 0;
        if (r == 0) return ETIMEDOUT;
        if (errno != EINTR) return errno;
    }
}

// Sends all `len` bytes before the deadline; 0 or the error number.
int SendAll(int fd, const uint8_t* p, size_t len, Clock::time_point deadline) {
    while (len > 0) {
        ssize_t n = send(fd, p, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            p += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int w = WaitReady(fd, POLLOUT, deadline);
            if (w != 0) return w;
            continue;
        }
        return n < 0 ? errno : EPIPE;
    }
    return 0;
}

// Receives exactly `len` bytes before the deadline; 0, or EPROTO when the driver closed early,
// or the error number. *got counts the bytes received.
int RecvAll(int fd, uint8_t* p, size_t len, Clock::time_point deadline, size_t* got) {
    *got = 0;
    while (*got < len) {
        ssize_t n = recv(fd, p + *got, len - *got, MSG_DONTWAIT);
        if (n > 0) {
            *got += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) return EPROTO;  // the answer stops short
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            int w = WaitReady(fd, POLLIN, deadline);
            if (w != 0) return w;
            continue;
        }
        return errno;
    }
    return 0;
}

// The socket name behind a device path: "\\.\Scsi3: " gives "Scsi3". False when nothing usable
// is left.
bool DevSocketName(const char* devName, char* name, size_t cap) {
    const char* p = devName;
    if (std::strncmp(p, "\\\\.\\", 4) == 0) p += 4;
    size_t n = std::strlen(p);
    while (n > 0 && (p[n - 1] == ':' || p[n - 1] == ' '))
        --n;
    if (n == 0 || n >= cap) return false;
    if (std::memchr(p, '/', n) != nullptr) return false;
    std::memcpy(name, p, n);
    name[n] = '\0';
    return true;
}

// Connects fd to `path`, waiting at most DEV_OPEN_TIMEOUT_MS. 0 or the error number.
int ConnectUnix(int fd, const char* path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path, std::strlen(path) + 1);
    // A blocking connect to a Unix socket whose listen queue is full waits for room; the send
    // time-out bounds that wait.
    timeval tv{DEV_OPEN_TIMEOUT_MS / 1000, (DEV_OPEN_TIMEOUT_MS % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    for (;;) {
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return 0;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS) return ETIMEDOUT;
        return errno;
    }
}

}  // namespace

DevHandle& DevHandle::operator=(DevHandle&& o) noexcept {
    if (this != &o) {
        Close();
        h_ = o.h_;
        o.h_ = kNone;
    }
    return *this;
}

void DevHandle::Close() {
    if (h_ != kNone) close(static_cast<int>(h_));
    h_ = kNone;
}

bool DevOpen(const char* devName, const char* root, DevHandle& out, int* sysErr) {
    out.Close();
    int err = 0;
    char name[kNameMax];
    if (devName == nullptr || root == nullptr || root[0] == '\0' ||
        !DevSocketName(devName, name, sizeof name)) {
        err = ENOENT;
    }
    int fd = -1;
    if (err == 0) {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) err = errno;
    }
    if (err == 0) {
        char path[4200];
        int len = std::snprintf(path, sizeof path, "%s/dev/%s", root, name);
        if (len < 0 || static_cast<size_t>(len) >= sizeof path) {
            err = ENAMETOOLONG;
        } else if (static_cast<size_t>(len) < sizeof(sockaddr_un::sun_path)) {
            err = ConnectUnix(fd, path);
        } else {
            // Too long for a socket address: reach the socket through its open folder.
            char dir[4200];
            std::snprintf(dir, sizeof dir, "%s/dev", root);
            int dfd = open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (dfd < 0) {
                err = errno;
            } else {
                std::snprintf(path, sizeof path, "/proc/self/fd/%d/%s", dfd, name);
                err = std::strlen(path) < sizeof(sockaddr_un::sun_path) ? ConnectUnix(fd, path)
                                                                        : ENAMETOOLONG;
                close(dfd);
            }
        }
    }
    if (err != 0) {
        if (fd >= 0) close(fd);
        if (sysErr != nullptr) *sysErr = err;
        return false;
    }
    out.h_ = fd;
    return true;
}

bool DevIoControl(DevHandle& dev, uint32_t ioctlCode, uint8_t* block, uint32_t blockSize,
                  uint32_t sendLen, uint32_t keepLen, int timeoutMs, int* sysErr,
                  uint32_t* touchedLen) {
    uint32_t touched = 0;
    auto fail = [&](int e) {
        if (sysErr != nullptr) *sysErr = e;
        if (touchedLen != nullptr) *touchedLen = touched;
        return false;
    };
    if (!dev.Valid()) return fail(EBADF);
    if (blockSize < kHeaderLen) return fail(EINVAL);
    if (sendLen < kHeaderLen) sendLen = kHeaderLen;
    if (sendLen > blockSize) sendLen = blockSize;
    if (keepLen > blockSize) keepLen = blockSize;
    int fd = static_cast<int>(dev.h_);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);

    uint8_t prefix[12];
    PutU32(prefix, ioctlCode);
    PutU32(prefix + 4, blockSize);
    PutU32(prefix + 8, sendLen);
    // The prefix and the block go out in one message: the driver sees the request at once.
    iovec iov[2] = {{prefix, sizeof prefix}, {block, sendLen}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    size_t total = sizeof prefix + sendLen;
    ssize_t sent = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return fail(errno);
        sent = 0;
    }
    if (static_cast<size_t>(sent) < total) {
        size_t done = static_cast<size_t>(sent);
        if (done < sizeof prefix) {
            int e = SendAll(fd, prefix + done, sizeof prefix - done, deadline);
            if (e != 0) return fail(e);
            done = sizeof prefix;
        }
        int e = SendAll(fd, block + (done - sizeof prefix), total - done, deadline);
        if (e != 0) return fail(e);
    }

    uint8_t head[8];
    size_t got = 0;
    int e = RecvAll(fd, head, sizeof head, deadline, &got);
    if (e != 0) return fail(e);
    uint32_t result = GetU32(head);
    uint32_t n2 = GetU32(head + 4);
    if (result != 0) return fail(static_cast<int>(result));
    if (n2 < kHeaderLen || n2 > blockSize) return fail(EPROTO);
    e = RecvAll(fd, block, n2, deadline, &got);
    touched = static_cast<uint32_t>(got);
    if (e != 0) return fail(e);
    if (keepLen > n2) {
        std::memset(block + n2, 0, keepLen - n2);
        touched = keepLen;
    }
    if (touchedLen != nullptr) *touchedLen = touched;
    return true;
}

}  // namespace plat

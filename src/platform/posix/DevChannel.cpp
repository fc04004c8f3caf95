// The device channel over Unix stream sockets: <root>/dev/ScsiN stands for the SCSI port
// device "\\.\ScsiN: ". One connection carries one request and its answer.
#include "platform/DevChannel.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include "protocol/ByteOrder.h"

namespace plat {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kHeaderLen = 28;  // the request block's header; the smallest n and n2
constexpr size_t kNameMax = 64;      // longest device name accepted after stripping

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Bounds the next blocking send and receive on fd by what is left until the deadline (the kernel
// counts a receive that waits for all its bytes as one wait); set again before each further
// call, so that a driver answering a little at a time cannot stretch the whole call. False once
// the deadline has passed.
bool SetWaitLimit(int fd, Clock::time_point deadline) {
    int ms = RemainingMs(deadline);
    if (ms <= 0) return false;
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return true;
}

// The error of a failed send or receive: a time-out shows as EAGAIN.
int IoError(int e) {
    return e == EAGAIN || e == EWOULDBLOCK ? ETIMEDOUT : e;
}

// Sends the iovecs whole; 0 or the error number.
int SendVec(int fd, iovec* iov, int count, Clock::time_point deadline) {
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<size_t>(count);
    for (;;) {
        while (msg.msg_iovlen > 0 && msg.msg_iov[0].iov_len == 0) {
            ++msg.msg_iov;
            --msg.msg_iovlen;
        }
        if (msg.msg_iovlen == 0) return 0;
        ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR && SetWaitLimit(fd, deadline)) continue;
            return errno == EINTR ? ETIMEDOUT : IoError(errno);
        }
        // What is left of the call's time bounds the next send.
        if (!SetWaitLimit(fd, deadline)) return ETIMEDOUT;
        size_t left = static_cast<size_t>(n);
        while (left > 0) {
            size_t take = left < msg.msg_iov[0].iov_len ? left : msg.msg_iov[0].iov_len;
            msg.msg_iov[0].iov_base = static_cast<uint8_t*>(msg.msg_iov[0].iov_base) + take;
            msg.msg_iov[0].iov_len -= take;
            left -= take;
            if (msg.msg_iov[0].iov_len == 0 && left > 0) {
                ++msg.msg_iov;
                --msg.msg_iovlen;
            }
        }
    }
}

// Receives exactly `len` bytes; 0, EPROTO when the driver closed early, or the error number.
// *got counts the bytes received.
int RecvAll(int fd, uint8_t* p, size_t len, Clock::time_point deadline, size_t* got) {
    *got = 0;
    while (*got < len) {
        // Each receive gets only what is left of the call's time.
        if (!SetWaitLimit(fd, deadline)) return ETIMEDOUT;
        ssize_t n = recv(fd, p + *got, len - *got, MSG_WAITALL);
        if (n > 0) {
            *got += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) return EPROTO;  // the answer stops short
        if (errno == EINTR && SetWaitLimit(fd, deadline)) continue;
        return errno == EINTR ? ETIMEDOUT : IoError(errno);
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
        // The root folder ends in its '/' already.
        const char* sep = root[std::strlen(root) - 1] == '/' ? "" : "/";
        int len = std::snprintf(path, sizeof path, "%s%sdev/%s", root, sep, name);
        if (len < 0 || static_cast<size_t>(len) >= sizeof path) {
            err = ENAMETOOLONG;
        } else if (static_cast<size_t>(len) < sizeof(sockaddr_un::sun_path)) {
            err = ConnectUnix(fd, path);
        } else {
            // Too long for a socket address: reach the socket through its open folder.
            char dir[4200];
            std::snprintf(dir, sizeof dir, "%s%sdev", root, sep);
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

DevIoResult DevIoControl(DevHandle& dev, const DevIoRequest& req) {
    DevIoResult res;
    auto fail = [&res](int e) {
        res.sysErr = e;
        return res;
    };
    uint8_t* const block = req.block;
    const uint32_t blockSize = req.blockSize;
    if (!dev.Valid()) return fail(EBADF);
    if (block == nullptr || blockSize < kHeaderLen) return fail(EINVAL);
    uint32_t sendLen = req.sendLen < kHeaderLen ? kHeaderLen : req.sendLen;
    if (sendLen > blockSize) sendLen = blockSize;
    const uint32_t keepLen = req.keepLen > blockSize ? blockSize : req.keepLen;
    const int fd = static_cast<int>(dev.h_);
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(req.timeoutMs > 0 ? req.timeoutMs : 1);
    if (!SetWaitLimit(fd, deadline)) return fail(ETIMEDOUT);

    // The prefix and the block go out in one message.
    uint8_t prefix[12];
    PutLe32(prefix, req.ioctlCode);
    PutLe32(prefix + 4, blockSize);
    PutLe32(prefix + 8, sendLen);
    iovec out[3] = {{prefix, sizeof prefix}, {block, sendLen}, {nullptr, 0}};
    if (req.sendData != nullptr) {
        out[1].iov_len = kHeaderLen;
        out[2].iov_base = const_cast<uint8_t*>(req.sendData);
        out[2].iov_len = sendLen - kHeaderLen;
    }
    int e = SendVec(fd, out, 3, deadline);
    if (e != 0) return fail(e);

    // The answer: its 8-byte header and, usually in the same receive, the block.
    uint8_t head[8];
    iovec in[2] = {{head, sizeof head}, {block, blockSize}};
    msghdr msg{};
    msg.msg_iov = in;
    msg.msg_iovlen = 2;
    ssize_t n;
    for (;;) {
        n = recvmsg(fd, &msg, 0);
        if (n >= 0) break;
        if (errno == EINTR && SetWaitLimit(fd, deadline)) continue;
        return fail(errno == EINTR ? ETIMEDOUT : IoError(errno));
    }
    if (n == 0) return fail(EPROTO);
    size_t total = static_cast<size_t>(n);
    res.touchedLen = total > sizeof head ? static_cast<uint32_t>(total - sizeof head) : 0;
    if (total < sizeof head) {
        size_t got = 0;
        e = RecvAll(fd, head + total, sizeof head - total, deadline, &got);
        if (e != 0) return fail(e);
        total = sizeof head;
    }
    const uint32_t result = GetLe32(head);
    const uint32_t n2 = GetLe32(head + 4);
    if (result != 0) return fail(static_cast<int>(result));
    size_t have = total - sizeof head;
    if (n2 < kHeaderLen || n2 > blockSize || have > n2) return fail(EPROTO);
    if (have < n2) {
        size_t got = 0;
        e = RecvAll(fd, block + have, n2 - have, deadline, &got);
        res.touchedLen = static_cast<uint32_t>(have + got);
        if (e != 0) return fail(e);
    }
    res.touchedLen = n2;
    if (keepLen > n2) {
        std::memset(block + n2, 0, keepLen - n2);
        res.touchedLen = keepLen;
    }
    res.ok = true;
    return res;
}

}  // namespace plat

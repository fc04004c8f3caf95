// Whole transfers on a POSIX stream socket, for the simulator and the test drivers.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace fdio {

// Receives exactly n bytes; false when the peer closed, an error came, or a time-out expired.
inline bool RecvAll(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t r = recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// Sends all n bytes (never raising SIGPIPE); false when the connection broke.
inline bool SendAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

}  // namespace fdio

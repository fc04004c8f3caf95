// The machine-wide guard is an abstract Unix socket: its name is visible to every process of the
// machine (every user), binding it a second time fails with EADDRINUSE, and the kernel frees it
// the moment the holding process ends, however it ends.
#include "platform/InstanceLock.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace plat {

InstanceLockResult AcquireInstanceLock(const char* name) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return InstanceLockResult::Failed;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    // sun_path[0] = 0 selects the abstract namespace; the name follows, cut to fit.
    size_t n = std::strlen(name);
    if (n > sizeof a.sun_path - 1) n = sizeof a.sun_path - 1;
    std::memcpy(a.sun_path + 1, name, n);
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), len) < 0) {
        int e = errno;
        close(fd);
        return e == EADDRINUSE ? InstanceLockResult::AlreadyRunning : InstanceLockResult::Failed;
    }
    // Held, never closed, until the process ends.
    return InstanceLockResult::Acquired;
}

}  // namespace plat

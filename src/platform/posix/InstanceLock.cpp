// The machine-wide guard.
//
// Run by root (the agent as a service): an exclusive flock on PELLOMAR_RUN_DIR/pellomar.lock
// (/run by default), a file of mode 0600 in a folder only root may write, so no other user can
// open it, let alone lock it. The kernel drops the lock the moment the process ends, however it
// ends. The agent also takes the abstract socket name below, so that copies run by other users
// see it; a name some other process already holds does not stop it.
//
// Run by any other user: the abstract Unix socket name alone. Its name is visible to every
// process of the machine, binding it a second time fails with EADDRINUSE, and the kernel frees
// it when the holder ends. Such a copy can be kept from starting by anyone who binds the name
// first; a root agent cannot.
#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#ifndef PELLOMAR_RUN_DIR
#define PELLOMAR_RUN_DIR "/run"
#endif

namespace plat {

namespace {

// Binds the abstract socket name `name`; the socket is held, never closed, until the process
// ends.
InstanceLockResult BindAbstractName(const char* name) {
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
    return InstanceLockResult::Acquired;
}

// Takes the lock file; its descriptor is held, never closed, until the process ends.
InstanceLockResult LockRunFile() {
    const char* path = PELLOMAR_RUN_DIR "/pellomar.lock";
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return InstanceLockResult::Failed;
    struct stat st {};
    // Only a plain file of root's, readable by root alone, counts.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 ||
        ((st.st_mode & 077) != 0 && fchmod(fd, 0600) != 0)) {
        close(fd);
        return InstanceLockResult::Failed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        close(fd);
        return e == EWOULDBLOCK ? InstanceLockResult::AlreadyRunning : InstanceLockResult::Failed;
    }
    return InstanceLockResult::Acquired;
}

}  // namespace

InstanceLockResult AcquireInstanceLock(const char* name) {
    if (geteuid() != 0) return BindAbstractName(name);
    const InstanceLockResult r = LockRunFile();
    if (r == InstanceLockResult::AlreadyRunning) return r;
    // Seen by other users' copies; held by another process, it does not matter here.
    const InstanceLockResult named = BindAbstractName(name);
    if (r == InstanceLockResult::Acquired) return r;
    // No lock file to be had (no such folder, say): the name alone, as for other users.
    return named;
}

}  // namespace plat

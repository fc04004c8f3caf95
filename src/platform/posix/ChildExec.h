// What the two ways of starting a program (Process.cpp, Subprocess.cpp) share between fork and
// exec: the child tells exec's error back through a close-on-exec pipe, and the parent turns it
// into a launch result.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Process.h"

namespace plat::child_exec {

// Before the fork: how far CloseOtherFds must look when the kernel lacks close_range.
inline int OpenFdLimit() {
    const long openMax = sysconf(_SC_OPEN_MAX);
    return (openMax < 0 || openMax > 65536) ? 65536 : static_cast<int>(openMax);
}

// Before the fork: a pipe end that got a standard descriptor number (an agent started with
// closed streams) would be overwritten when the child sets up its streams: move it to 3 or
// above. Returns false when it cannot.
inline bool MoveAboveStdFds(int* fd) {
    if (*fd > 2) return true;
    const int moved = fcntl(*fd, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return false;
    close(*fd);
    *fd = moved;
    return true;
}

// In the child: closes every descriptor from 3 up except `keep`. close_range does it in one
// call; where the kernel lacks it, the loop goes up to `maxFd` (OpenFdLimit, read before the
// fork). Only async-signal-safe calls.
inline void CloseOtherFds(int keep, int maxFd) {
    bool done = false;
    if (keep >= 3) {
        done = (keep == 3 || close_range(3, static_cast<unsigned>(keep - 1), 0) == 0) &&
               close_range(static_cast<unsigned>(keep + 1), ~0u, 0) == 0;
    }
    if (done) return;
    for (int fd = 3; fd < maxFd; ++fd)
        if (fd != keep) close(fd);
}

// In the child: writes `e` to `fd` and ends. Only async-signal-safe calls.
[[noreturn]] inline void Fail(int fd, int e) {
    ssize_t w = write(fd, &e, sizeof e);
    (void)w;
    _exit(127);
}

// In the child: back to the state a freshly started program expects, no signal blocked, none
// ignored (the agent blocks some in all its threads, and a blocked or ignored signal would
// survive exec). Only async-signal-safe calls.
inline void ResetSignals() {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig)
        sigaction(sig, &dfl, nullptr);  // SIGKILL, SIGSTOP and the reserved ones just refuse
}

// In the parent, once its copy of the write end is closed: reads the error pipe's read end `fd`
// until the child's end closes too (at exec, or at the child's exit). 0 when exec succeeded (end
// of file without data), else exec's errno; EIO when the pipe gave neither.
inline int ReadExecError(int fd) {
    int e = 0;
    ssize_t n;
    do {
        n = read(fd, &e, sizeof e);
    } while (n < 0 && errno == EINTR);
    if (n == 0) return 0;
    if (n != static_cast<ssize_t>(sizeof e) || e == 0) return EIO;
    return e;
}

// exec's error as a LAUNCH_* result.
inline int ResultFromErrno(int e) {
    if (e == ENOENT || e == ENOTDIR) return LAUNCH_FILE_NOT_FOUND;
    if (e == EACCES || e == EPERM || e == ENOEXEC) return LAUNCH_ACCESS_DENIED;
    return LAUNCH_FAILED;
}

}  // namespace plat::child_exec

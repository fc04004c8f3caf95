// What the two ways of starting a program (Process.cpp, Subprocess.cpp) share between fork and
// exec: the child tells exec's error back through a close-on-exec pipe, and the parent turns it
// into a launch result.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Process.h"

namespace plat::child_exec {

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

// exec's error as a LAUNCH_* result.
inline int ResultFromErrno(int e) {
    if (e == ENOENT || e == ENOTDIR) return LAUNCH_FILE_NOT_FOUND;
    if (e == EACCES || e == EPERM || e == ENOEXEC) return LAUNCH_ACCESS_DENIED;
    return LAUNCH_FAILED;
}

}  // namespace plat::child_exec

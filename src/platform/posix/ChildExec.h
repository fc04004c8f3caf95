// What the two ways of starting a program (Process.cpp, Subprocess.cpp) share between fork and
// exec: the child tells exec's error back through a close-on-exec pipe, and the parent turns it
// into a launch result.
#pragma once

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

// exec's error as a LAUNCH_* result.
inline int ResultFromErrno(int e) {
    if (e == ENOENT || e == ENOTDIR) return LAUNCH_FILE_NOT_FOUND;
    if (e == EACCES || e == EPERM || e == ENOEXEC) return LAUNCH_ACCESS_DENIED;
    return LAUNCH_FAILED;
}

}  // namespace plat::child_exec

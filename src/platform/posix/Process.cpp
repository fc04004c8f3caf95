// Detached launch: fork twice so that the program is reparented at once and never becomes our
// zombie; the grandchild starts a new session, puts its standard streams on /dev/null, closes
// every other descriptor and executes the program. A close-on-exec pipe carries exec's errno
// back, so the caller learns whether the program could be started.
#include "platform/Process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace plat {

namespace {

[[noreturn]] void ChildFail(int pipeFd, int e) {
    ssize_t w = write(pipeFd, &e, sizeof e);
    (void)w;
    _exit(127);
}

// Only async-signal-safe calls run between fork and exec: the limit is read before forking.
void CloseOtherFds(int keep, int maxFd) {
    for (int fd = 3; fd < maxFd; ++fd)
        if (fd != keep) close(fd);
}

int ResultFromErrno(int e) {
    if (e == ENOENT || e == ENOTDIR) return LAUNCH_FILE_NOT_FOUND;
    if (e == EACCES || e == EPERM || e == ENOEXEC) return LAUNCH_ACCESS_DENIED;
    return LAUNCH_FAILED;
}

}  // namespace

int LaunchDetached(const char* const argv[]) {
    if (argv == nullptr || argv[0] == nullptr) return LAUNCH_FILE_NOT_FOUND;
    long openMax = sysconf(_SC_OPEN_MAX);
    int maxFd = (openMax < 0 || openMax > 65536) ? 65536 : static_cast<int>(openMax);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0) return LAUNCH_FAILED;
    pid_t child = fork();
    if (child < 0) {
        close(fds[0]);
        close(fds[1]);
        return LAUNCH_FAILED;
    }
    if (child == 0) {
        close(fds[0]);
        pid_t grand = fork();
        if (grand < 0) ChildFail(fds[1], errno);
        if (grand > 0) _exit(0);
        setsid();
        int nul = open("/dev/null", O_RDWR);
        if (nul >= 0) {
            dup2(nul, 0);
            dup2(nul, 1);
            dup2(nul, 2);
            if (nul > 2) close(nul);
        }
        CloseOtherFds(fds[1], maxFd);
        execv(argv[0], const_cast<char* const*>(argv));
        ChildFail(fds[1], errno);
    }
    close(fds[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int e = 0;
    ssize_t n;
    do {
        n = read(fds[0], &e, sizeof e);
    } while (n < 0 && errno == EINTR);
    close(fds[0]);
    if (n == static_cast<ssize_t>(sizeof e)) return ResultFromErrno(e);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return LAUNCH_FAILED;
    return LAUNCH_OK;
}

int ShellOpenHidden(const char*, const char*) {
    return LAUNCH_FAILED;
}

}  // namespace plat

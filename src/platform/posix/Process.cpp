// Detached launch: fork twice so that the program is reparented at once and never becomes our
// zombie. The intermediate child forks the grandchild and exits at once; we reap it right away.
// The grandchild starts a new session, restores the default signal state (the agent blocks
// SIGTERM and SIGINT in all its threads, and a blocked or ignored signal would survive exec),
// puts its standard streams on /dev/null, closes every other descriptor and executes the
// program. A close-on-exec pipe carries exec's errno back, so the caller learns whether the
// program could be started: end of file without data means exec succeeded.
#include "platform/Process.h"
#include "platform/posix/ChildExec.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace plat {

namespace {

[[noreturn]] void RunGrandchild(const char* const argv[], int pipeFd, int maxFd) {
    if (setsid() < 0) child_exec::Fail(pipeFd, errno);
    child_exec::ResetSignals();
    int nul = open("/dev/null", O_RDWR);
    if (nul < 0) child_exec::Fail(pipeFd, errno);
    for (int fd = 0; fd <= 2; ++fd)
        if (nul != fd && dup2(nul, fd) < 0) child_exec::Fail(pipeFd, errno);
    if (nul > 2) close(nul);
    child_exec::CloseOtherFds(pipeFd, maxFd);
    execv(argv[0], const_cast<char* const*>(argv));
    child_exec::Fail(pipeFd, errno);
}

}  // namespace

int LaunchDetached(const char* const argv[]) {
    if (argv == nullptr || argv[0] == nullptr || argv[0][0] == '\0') return LAUNCH_FILE_NOT_FOUND;
    const int maxFd = child_exec::OpenFdLimit();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0) return LAUNCH_FAILED;
    if (!child_exec::MoveAboveStdFds(&fds[0]) || !child_exec::MoveAboveStdFds(&fds[1])) {
        close(fds[0]);
        close(fds[1]);
        return LAUNCH_FAILED;
    }
    pid_t child = fork();
    if (child < 0) {
        close(fds[0]);
        close(fds[1]);
        return LAUNCH_FAILED;
    }
    if (child == 0) {
        close(fds[0]);
        // In the child of a threaded process only async-signal-safe calls may follow; _Fork is
        // one (fork runs the parent's at-fork handlers and is not).
        pid_t grand = _Fork();
        if (grand < 0) child_exec::Fail(fds[1], errno);
        if (grand > 0) _exit(0);
        RunGrandchild(argv, fds[1], maxFd);
    }
    close(fds[1]);
    // The intermediate child exits right after its fork: reap it so that it leaves no zombie.
    int status = 0;
    pid_t r;
    do {
        r = waitpid(child, &status, 0);
    } while (r < 0 && errno == EINTR);
    bool childOk = r < 0 ? errno == ECHILD  // SIGCHLD ignored: the kernel reaped it
                         : WIFEXITED(status) && WEXITSTATUS(status) == 0;
    // The grandchild's write end closes at exec (close-on-exec) or at its exit.
    const int e = child_exec::ReadExecError(fds[0]);
    close(fds[0]);
    if (e != 0) return child_exec::ResultFromErrno(e);
    return childOk ? LAUNCH_OK : LAUNCH_FAILED;
}

}  // namespace plat

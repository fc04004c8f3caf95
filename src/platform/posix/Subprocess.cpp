#include "platform/Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/Process.h"
#include "platform/posix/ChildExec.h"

extern char** environ;

namespace plat {

namespace {

constexpr size_t LINE_MAX_BYTES = 4096;
constexpr auto KILL_GRACE = std::chrono::milliseconds(500);

}  // namespace

bool Subprocess::Available() {
    return true;
}

Subprocess::~Subprocess() {
    if (Running()) Kill();
    if (out_ >= 0) close(out_);
}

int Subprocess::Start(const char* const argv[], const char* const extraEnv[], std::string* why) {
    auto fail = [why](int result, const char* what, int e) {
        if (why != nullptr) *why = std::string(what) + ": " + std::strerror(e);
        return result;
    };
    if (argv == nullptr || argv[0] == nullptr || argv[0][0] == '\0')
        return fail(LAUNCH_FILE_NOT_FOUND, "no program", ENOENT);
    // Everything the child needs is built before the fork: after it only async-signal-safe
    // calls may run.
    std::vector<const char*> env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        bool replaced = false;
        for (const char* const* x = extraEnv; x != nullptr && *x != nullptr; ++x) {
            const char* eq = std::strchr(*x, '=');
            const size_t n = eq != nullptr ? static_cast<size_t>(eq - *x) : std::strlen(*x);
            if (std::strncmp(*e, *x, n) == 0 && (*e)[n] == '=') replaced = true;
        }
        if (!replaced) env.push_back(*e);
    }
    for (const char* const* x = extraEnv; x != nullptr && *x != nullptr; ++x)
        env.push_back(*x);
    env.push_back(nullptr);

    const int maxFd = child_exec::OpenFdLimit();

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) < 0) return fail(LAUNCH_FAILED, "pipe", errno);
    if (pipe2(err, O_CLOEXEC) < 0) {
        const int e = errno;
        close(out[0]);
        close(out[1]);
        return fail(LAUNCH_FAILED, "pipe", e);
    }
    for (int* fd : {&out[0], &out[1], &err[0], &err[1]}) {
        if (!child_exec::MoveAboveStdFds(fd)) {
            const int e = errno;
            for (int end : {out[0], out[1], err[0], err[1]})
                close(end);
            return fail(LAUNCH_FAILED, "pipe", e);
        }
    }
    const pid_t pid = fork();
    if (pid < 0) {
        const int e = errno;
        for (int fd : {out[0], out[1], err[0], err[1]})
            close(fd);
        return fail(LAUNCH_FAILED, "fork", e);
    }
    if (pid == 0) {
        if (setsid() < 0) child_exec::Fail(err[1], errno);
        child_exec::ResetSignals();
        const int nul = open("/dev/null", O_RDONLY);
        if (nul < 0 || dup2(nul, 0) < 0 || dup2(out[1], 1) < 0 || dup2(out[1], 2) < 0)
            child_exec::Fail(err[1], errno);
        // Nothing else of the agent's stays open in the program.
        child_exec::CloseOtherFds(err[1], maxFd);
        execve(argv[0], const_cast<char* const*>(argv), const_cast<char* const*>(env.data()));
        child_exec::Fail(err[1], errno);
    }
    close(out[1]);
    close(err[1]);
    const int e = child_exec::ReadExecError(err[0]);
    close(err[0]);
    pid_ = pid;
    reaped_ = false;
    if (e != 0) {
        // exec failed: the child has exited already (or is made to, when the pipe said nothing
        // readable).
        kill(pid, SIGKILL);
        int st = 0;
        waitpid(pid, &st, 0);
        reaped_ = true;
        close(out[0]);
        return fail(child_exec::ResultFromErrno(e), argv[0], e);
    }
    out_ = out[0];
    return LAUNCH_OK;
}

bool Subprocess::ReadLines(int timeoutMs, const std::function<void(const std::string&)>& onLine) {
    if (out_ < 0) return true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{out_, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) return false;
        const ssize_t n = r < 0 ? -1 : read(out_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (!pending_.empty()) onLine(pending_);
            pending_.clear();
            close(out_);
            out_ = -1;
            return true;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == '\n') {
                if (!pending_.empty() && pending_.back() == '\r') pending_.pop_back();
                onLine(pending_);
                pending_.clear();
            } else if (pending_.size() < LINE_MAX_BYTES) {
                pending_ += buf[i];
            }
        }
    }
}

bool Subprocess::Wait(int timeoutMs, int* exitCode) {
    if (pid_ <= 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!reaped_) {
        int st = 0;
        const pid_t r = waitpid(static_cast<pid_t>(pid_), &st, WNOHANG);
        if (r == static_cast<pid_t>(pid_)) {
            reaped_ = true;
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            break;
        }
        if (r < 0 && errno != EINTR) {
            reaped_ = true;  // not ours to wait for any more
            status_ = -1;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (exitCode != nullptr) *exitCode = status_;
    return true;
}

bool Subprocess::WatchToEnd(int limitMs, const std::function<void(const std::string&)>& onLine,
                            int* exitCode) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    if (ReadLines(limitMs, onLine)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        // With no time left the program is still asked once whether it has ended.
        if (Wait(static_cast<int>(std::max<int64_t>(left.count(), 0)), exitCode)) return true;
    }
    Kill();
    return false;
}

void Subprocess::Detach() {
    if (out_ >= 0) close(out_);
    out_ = -1;
    pid_ = -1;
}

void Subprocess::Kill() {
    if (!Running()) return;
    // The program leads its own process group: the signal reaches what it started too.
    kill(-static_cast<pid_t>(pid_), SIGTERM);
    if (!Wait(static_cast<int>(KILL_GRACE.count()), nullptr)) {
        kill(-static_cast<pid_t>(pid_), SIGKILL);
        Wait(5000, nullptr);
    }
}

}  // namespace plat

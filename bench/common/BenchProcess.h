// Child processes and waits for the benchmarks (POSIX): the simulator and the programs they
// drive, started with their output in files and ended by pid.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// Starts argv[0] with its arguments in `cwd` ("" = ours), standard output and error into the
// files `out` and `err`, without a display. Returns its pid (or -1).
inline pid_t Spawn(const std::vector<std::string>& argv, const std::string& cwd,
                   const std::string& out, const std::string& err) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int i = open("/dev/null", O_RDONLY);
    dup2(i, 0);
    dup2(o, 1);
    dup2(e, 2);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

// SIGTERM, then SIGKILL after 5 s, and the child reaped.
inline void Stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// Polls `pred` every `stepMs` until it holds or `seconds` pass.
inline bool WaitUntil(const std::function<bool()>& pred, int seconds, int stepMs = 20) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    }
    return pred();
}

}  // namespace bench

// Running a program and watching it: its output read line by line, its end awaited within a
// bound, and the program (with everything it started) ended when the bound passes. For the
// programs whose outcome the agent wants to know: the mailer scripts and the event hook.
//
// POSIX: the program runs in a session of its own, with no signal blocked or ignored, standard
// input on the null device and standard output and error on one pipe to the agent; ending it
// signals its whole process group. Windows: not available (Start fails with LAUNCH_FAILED and
// says so); callers there launch detached as before.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace plat {

class Subprocess {
  public:
    // False where programs cannot be watched (Windows).
    static bool Available();

    Subprocess() = default;
    ~Subprocess();  // ends the program (Kill) when it still runs, and reaps it
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    // Starts argv[0] (a path; no search of PATH) with argv[1..] (null-terminated) in the
    // agent's current directory, its environment the agent's plus `extraEnv` ("NAME=value"
    // entries, null-terminated; may be null). Returns a LAUNCH_* result of platform/Process.h:
    // LAUNCH_OK once the program runs; on failure nothing runs. `why` gets a reason on failure.
    int Start(const char* const argv[], const char* const extraEnv[], std::string* why);

    // Reads the program's output until it closes it (it ended, usually) or `timeoutMs` passes,
    // handing every complete line (without its line end; at most 4096 bytes, longer lines cut)
    // to `onLine`. True when the output ended, false when the time ran out.
    bool ReadLines(int timeoutMs, const std::function<void(const std::string&)>& onLine);

    // Waits at most `timeoutMs` for the program to end; true with its exit code in *exitCode
    // (128 + the signal when a signal ended it).
    bool Wait(int timeoutMs, int* exitCode);

    // Watches the program to its end within one limit of `limitMs` from the call: reads its
    // output as ReadLines does until it closes it, then waits for it to end for the rest of the
    // same limit. True with its exit code in *exitCode (as Wait gives it) when it ended in time;
    // false when it still ran at the limit and was ended (Kill), whether it had closed its
    // output or not.
    bool WatchToEnd(int limitMs, const std::function<void(const std::string&)>& onLine,
                    int* exitCode);

    // Ends the program and its process group: SIGTERM, then SIGKILL after a short grace.
    void Kill();

    // Lets the program run on, unwatched: its output is closed (POSIX: it is reaped by nobody
    // until the agent ends; for the rare case that no watcher can be had).
    void Detach();

    bool Running() const { return pid_ > 0 && !reaped_; }

  private:
    intptr_t pid_ = -1;
    int out_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    std::string pending_;
};

}  // namespace plat

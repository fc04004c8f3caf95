// Threads beyond what std::thread gives: detached start with a failure result, and the
// connection-thread launcher of the GUI server.
#pragma once

#include <cstddef>

namespace plat {

using ThreadEntry = void (*)(void* arg);

// Starts a detached thread running entry(arg) with the default stack. Nobody joins it.
// Returns false (and runs nothing) when the thread cannot be created. Thread-safe.
bool StartDetachedThread(ThreadEntry entry, void* arg);

// Launches the short-lived connection threads of the GUI server: one new thread per call, each
// running entry(arg) once and then ending. At most `maxThreads` run at once; the caller enforces
// that (Start fails when all are in use). The POSIX implementation keeps a pool of stacks that
// are mapped once and reused, so that a new thread does not fault its stack pages in again;
// threads that have ended are reaped by the next Start. The Windows one creates a thread with
// the given stack size.
//
// Start is called by one thread only (the listener); the threads it starts may end at any time.
class ConnThreadLauncher {
  public:
    ConnThreadLauncher(size_t maxThreads, size_t stackBytes);
    ~ConnThreadLauncher();
    ConnThreadLauncher(const ConnThreadLauncher&) = delete;
    ConnThreadLauncher& operator=(const ConnThreadLauncher&) = delete;

    // Starts entry(arg) on a new thread. Returns false when no thread could be created; entry is
    // then not run and the caller still owns arg.
    bool Start(ThreadEntry entry, void* arg);

    struct Impl;

  private:
    Impl* impl_;
};

}  // namespace plat

// The desktop without a display: message boxes become lines on standard error and the message
// loop waits for SIGTERM or SIGINT (the tray's Exit).
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/Desktop.h"

namespace plat {

namespace {

std::mutex g_stderrLock;
std::atomic<int> g_quitCode{0};
std::atomic<bool> g_quitAsked{false};

sigset_t LoopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGUSR1);  // DesktopQuit
    return set;
}

}  // namespace

void ShowMessageBox(const char* caption, const char* text, MsgBoxIcon) {
    size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r'))
        --n;
    std::lock_guard<std::mutex> lock(g_stderrLock);
    std::fprintf(stderr, "%s: %.*s\n", caption, static_cast<int>(n), text);
    std::fflush(stderr);
}

bool DesktopCreate(const TrayDesc&) {
    // Every thread started from now on inherits the blocked set, so the signals reach only the
    // sigwait of the message loop.
    sigset_t set = LoopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return true;
}

bool DesktopHasDisplay() {
    return false;
}

int DesktopRunLoop() {
    sigset_t set = LoopSignals();
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) continue;
        if (sig == SIGTERM || sig == SIGINT) return 0;
        if (sig == SIGUSR1 && g_quitAsked.load()) return g_quitCode.load();
    }
}

void DesktopQuit(int code) {
    g_quitCode.store(code);
    g_quitAsked.store(true);
    kill(getpid(), SIGUSR1);
}

}  // namespace plat

// The desktop on POSIX hosts. With a display the Qt desktop (DesktopQt.cpp) does the work; without
// one, message boxes become lines on standard error and the message loop waits for SIGTERM or
// SIGINT (the tray's Exit).
#include "platform/Desktop.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/posix/DesktopQt.h"

namespace plat {

namespace {

std::mutex g_stderrLock;
std::atomic<int> g_quitCode{0};
std::atomic<bool> g_quitAsked{false};
std::atomic<bool> g_display{false};
std::once_flag g_connectOnce;

sigset_t LoopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGUSR1);  // DesktopQuit, headless
    return set;
}

void BlockLoopSignals() {
    // Every thread started from now on inherits the blocked set, so the signals reach only the
    // thread that waits for them.
    sigset_t set = LoopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void HeadlessMessageBox(const char* caption, const char* text) {
    size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r'))
        --n;
    std::lock_guard<std::mutex> lock(g_stderrLock);
    std::fprintf(stderr, "%s: %.*s\n", caption, static_cast<int>(n), text);
    std::fflush(stderr);
}

int HeadlessRunLoop() {
    sigset_t set = LoopSignals();
    for (;;) {
        if (g_quitAsked.load()) return g_quitCode.load();
        int sig = 0;
        if (sigwait(&set, &sig) != 0) continue;
        if (sig == SIGTERM || sig == SIGINT) return 0;
    }
}

}  // namespace

bool DesktopConnect() {
    BlockLoopSignals();
    std::call_once(g_connectOnce, [] { g_display.store(qtdesk::QtConnect()); });
    return g_display.load();
}

void ShowMessageBox(const char* caption, const char* text, MsgBoxIcon icon) {
    if (caption == nullptr) caption = "";
    if (text == nullptr) text = "";
    if (g_display.load())
        qtdesk::QtShowMessageBox(caption, text, icon);
    else
        HeadlessMessageBox(caption, text);
}

bool DesktopCreate(const TrayDesc& desc) {
    BlockLoopSignals();
    if (g_display.load()) return qtdesk::QtCreate(desc);
    return true;
}

bool DesktopHasDisplay() {
    return g_display.load();
}

void DesktopShowAbout() {
    if (g_display.load()) qtdesk::QtShowAbout();
}

int DesktopRunLoop() {
    if (g_display.load()) return qtdesk::QtRunLoop();
    return HeadlessRunLoop();
}

void DesktopQuit(int code) {
    if (g_display.load()) {
        qtdesk::QtQuit(code);
        return;
    }
    g_quitCode.store(code);
    g_quitAsked.store(true);
    kill(getpid(), SIGUSR1);
}

}  // namespace plat

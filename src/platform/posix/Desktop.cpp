// The desktop on POSIX hosts. With a display the desktop module (DesktopModule.h: the Qt desktop
// of DesktopQt.cpp, loaded at run time) does the work; without one, message boxes become lines
// on standard error and the message loop waits for SIGTERM or SIGINT (the tray's Exit).
#include "platform/Desktop.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/posix/DesktopModule.h"

// PELLOMAR_MODULE_DIR: where an installed agent keeps its desktop module when it is not beside
// the executable (platform.cmake sets it).
#ifndef PELLOMAR_MODULE_DIR
#error "PELLOMAR_MODULE_DIR is not defined"
#endif

namespace plat {

namespace {

std::mutex g_stderrLock;
std::atomic<int> g_quitCode{0};
std::atomic<bool> g_quitAsked{false};
std::atomic<bool> g_display{false};
std::once_flag g_connectOnce;
// The desktop module's calls, set once DesktopConnect has found a display.
const deskmod::DesktopModuleApi* g_module = nullptr;

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

void SayHeadless(const std::string& why) {
    std::lock_guard<std::mutex> lock(g_stderrLock);
    std::fprintf(stderr, "pellomar: %s, running headless\n", why.c_str());
    std::fflush(stderr);
}

// The desktop module is loaded only when there may be a display to show it on.
bool Connect() {
    if (!deskmod::EnvSet("DISPLAY") && !deskmod::EnvSet("WAYLAND_DISPLAY")) {
        SayHeadless("no display");
        return false;
    }
    std::string why;
    const deskmod::DesktopModuleApi* module = deskmod::LoadDesktopModule(PELLOMAR_MODULE_DIR, &why);
    if (module == nullptr) {
        SayHeadless(why);
        return false;
    }
    if (!module->connect()) {
        SayHeadless("no display answers");
        return false;
    }
    g_module = module;
    return true;
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
    std::call_once(g_connectOnce, [] { g_display.store(Connect()); });
    return g_display.load();
}

void ShowMessageBox(const char* caption, const char* text, MsgBoxIcon icon) {
    if (caption == nullptr) caption = "";
    if (text == nullptr) text = "";
    if (g_display.load())
        g_module->showMessageBox(caption, text, icon);
    else
        HeadlessMessageBox(caption, text);
}

bool DesktopCreate(const TrayDesc& desc) {
    BlockLoopSignals();
    if (g_display.load()) return g_module->create(desc);
    return true;
}

bool DesktopHasDisplay() {
    return g_display.load();
}

void DesktopShowAbout() {
    if (g_display.load()) g_module->showAbout();
}

int DesktopRunLoop() {
    if (g_display.load()) return g_module->runLoop();
    return HeadlessRunLoop();
}

void DesktopQuit(int code) {
    if (g_display.load()) {
        g_module->quit(code);
        return;
    }
    g_quitCode.store(code);
    g_quitAsked.store(true);
    kill(getpid(), SIGUSR1);
}

}  // namespace plat

// Connection threads on Windows: one CreateThread per connection, with the stack size reserved
// that the record needs; the handle is closed at once (nobody waits for the thread).
#include <windows.h>

#include <new>

#include "platform/Threads.h"

namespace plat {

struct ConnThreadLauncher::Impl {
    size_t stackBytes = 0;
};

namespace {

struct StartArgs {
    ThreadEntry entry;
    void* arg;
};

DWORD WINAPI ConnThreadProc(LPVOID p) {
    StartArgs a = *static_cast<StartArgs*>(p);
    delete static_cast<StartArgs*>(p);
    a.entry(a.arg);
    return 0;
}

}  // namespace

ConnThreadLauncher::ConnThreadLauncher(size_t, size_t stackBytes) : impl_(new Impl) {
    impl_->stackBytes = stackBytes;
}

ConnThreadLauncher::~ConnThreadLauncher() {
    delete impl_;
}

bool ConnThreadLauncher::Start(ThreadEntry entry, void* arg) {
    auto* a = new (std::nothrow) StartArgs{entry, arg};
    if (a == nullptr) return false;
    HANDLE h = CreateThread(nullptr, impl_->stackBytes, &ConnThreadProc, a,
                            STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (h == nullptr) {
        delete a;
        return false;
    }
    CloseHandle(h);
    return true;
}

}  // namespace plat

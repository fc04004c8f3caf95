// Connection threads on pooled stacks.
//
// glibc gives back the used pages of a stack it manages when the thread ends, so every new
// connection thread would fault its ~80 KiB record in again. Stacks supplied by us are left
// alone: they are mapped once here, handed to one thread at a time, and reused once that thread
// has been joined. Threads queue themselves as finished when their entry returns; Start joins
// them before it reuses their stacks.
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/Threads.h"

namespace plat {

struct ConnThreadLauncher::Impl {
    struct Slot {
        void* base = nullptr;
        pthread_t thread{};
        ThreadEntry entry = nullptr;
        void* arg = nullptr;
        Impl* owner = nullptr;
    };

    size_t stackBytes = 0;
    std::vector<Slot> slots;
    std::vector<size_t> freeSlots;  // listener only
    std::vector<size_t> ended;      // entry returned, not yet joined; guarded by mu
    std::mutex mu;
    std::condition_variable endedCv;

    static void* Trampoline(void* p) {
        Slot* s = static_cast<Slot*>(p);
        s->entry(s->arg);
        Impl* self = s->owner;
        {
            std::lock_guard<std::mutex> lock(self->mu);
            self->ended.push_back(static_cast<size_t>(s - self->slots.data()));
        }
        self->endedCv.notify_one();
        return nullptr;
    }

    // Joins threads that have ended and gives their stacks back. With `wait`, blocks until at
    // least one stack is free.
    void Reap(bool wait) {
        std::vector<size_t> done;
        {
            std::unique_lock<std::mutex> lock(mu);
            if (wait) endedCv.wait(lock, [this] { return !ended.empty(); });
            done.swap(ended);
        }
        for (size_t k : done) {
            pthread_join(slots[k].thread, nullptr);  // it has returned: this is brief
            freeSlots.push_back(k);
        }
    }
};

ConnThreadLauncher::ConnThreadLauncher(size_t maxThreads, size_t stackBytes) : impl_(new Impl) {
    long page = sysconf(_SC_PAGESIZE);
    size_t pg = page > 0 ? static_cast<size_t>(page) : 4096;
    impl_->stackBytes = (stackBytes + pg - 1) / pg * pg;
    // A few more stacks than threads, so that a thread that has ended but is not yet joined
    // never holds up the next start.
    size_t n = maxThreads + 16;
    impl_->slots.resize(n);
    for (size_t i = 0; i < n; ++i) {
        void* p = mmap(nullptr, impl_->stackBytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) continue;  // fewer stacks; Start then waits for one more often
        mprotect(p, pg, PROT_NONE);     // guard page at the low end
        impl_->slots[i].base = p;
        impl_->slots[i].owner = impl_;
        impl_->freeSlots.push_back(i);
    }
}

ConnThreadLauncher::~ConnThreadLauncher() {
    // Only reached in tests that own a launcher whose threads have all ended.
    impl_->Reap(false);
    for (auto& s : impl_->slots)
        if (s.base != nullptr) munmap(s.base, impl_->stackBytes);
    delete impl_;
}

bool ConnThreadLauncher::Start(ThreadEntry entry, void* arg) {
    Impl& m = *impl_;
    m.Reap(false);
    if (m.freeSlots.empty()) {
        if (m.slots.empty()) return false;
        bool anyStack = false;
        for (auto& s : m.slots)
            anyStack = anyStack || s.base != nullptr;
        if (!anyStack) return false;
        m.Reap(true);
    }
    size_t k = m.freeSlots.back();
    Impl::Slot& s = m.slots[k];
    s.entry = entry;
    s.arg = arg;

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    bool ok = pthread_attr_setstack(&attr, s.base, m.stackBytes) == 0 &&
              pthread_create(&s.thread, &attr, &Impl::Trampoline, &s) == 0;
    pthread_attr_destroy(&attr);
    if (!ok) return false;
    m.freeSlots.pop_back();
    return true;
}

}  // namespace plat

// A heap byte block that grows on demand and is released exactly once, when it goes out of
// scope or when Release is called. Allocation failures are reported, never thrown.
//
// A block may draw on a shared budget (HeapBudget): every byte it holds counts against the
// budget, and growing beyond what is left fails like running out of memory. Many blocks of
// many threads may draw on one budget at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

// The bytes that a group of blocks may hold together.
struct HeapBudget {
    const size_t limit;
    std::atomic<size_t> used{0};
    explicit HeapBudget(size_t bytes) : limit(bytes) {}

    // Takes n bytes; false (nothing taken) when they are not left.
    bool Take(size_t n) {
        size_t cur = used.load();
        do {
            if (n > limit || cur > limit - n) return false;
        } while (!used.compare_exchange_weak(cur, cur + n));
        return true;
    }
    void Give(size_t n) { used.fetch_sub(n); }
};

class HeapBlock {
  public:
    HeapBlock() = default;
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;
    HeapBlock(HeapBlock&& o) noexcept : p_(o.p_), size_(o.size_), cap_(o.cap_), budget_(o.budget_) {
        o.p_ = nullptr;
        o.size_ = o.cap_ = 0;
    }
    ~HeapBlock() { Release(); }

    // From now on the block's bytes count against `budget` (which must outlive the block). Call
    // while the block holds nothing.
    void SetBudget(HeapBudget* budget) { budget_ = budget; }

    // Makes the block `n` bytes long, keeping its first min(n, Size()) bytes. Bytes added are
    // not initialised. Returns false (and leaves the block as it was) when memory runs out or
    // the budget has not enough left.
    bool Resize(size_t n) {
        if (n > cap_) {
            if (budget_ != nullptr && !budget_->Take(n - cap_)) return false;
            void* q = std::realloc(p_, n);
            if (q == nullptr) {
                if (budget_ != nullptr) budget_->Give(n - cap_);
                return false;
            }
            p_ = static_cast<uint8_t*>(q);
            cap_ = n;
        }
        size_ = n;
        return true;
    }

    void Release() {
        std::free(p_);
        if (budget_ != nullptr) budget_->Give(cap_);
        p_ = nullptr;
        size_ = cap_ = 0;
    }

    bool Held() const { return p_ != nullptr; }
    uint8_t* Data() { return p_; }
    const uint8_t* Data() const { return p_; }
    size_t Size() const { return size_; }

  private:
    uint8_t* p_ = nullptr;
    size_t size_ = 0;
    size_t cap_ = 0;
    HeapBudget* budget_ = nullptr;
};

// A heap byte block that grows on demand and is released exactly once, when it goes out of
// scope or when Release is called. Allocation failures are reported, never thrown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

class HeapBlock {
  public:
    HeapBlock() = default;
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;
    HeapBlock(HeapBlock&& o) noexcept : p_(o.p_), size_(o.size_), cap_(o.cap_) {
        o.p_ = nullptr;
        o.size_ = o.cap_ = 0;
    }
    ~HeapBlock() { Release(); }

    // Makes the block `n` bytes long, keeping its first min(n, Size()) bytes. Bytes added are
    // not initialised. Returns false (and leaves the block as it was) when memory runs out.
    bool Resize(size_t n) {
        if (n > cap_) {
            void* q = std::realloc(p_, n);
            if (q == nullptr) return false;
            p_ = static_cast<uint8_t*>(q);
            cap_ = n;
        }
        size_ = n;
        return true;
    }

    void Release() {
        std::free(p_);
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
};

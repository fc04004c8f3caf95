// A stdio file that is closed when it goes out of scope.
#pragma once

#include <cstdio>

class FileHandle {
  public:
    FileHandle() = default;
    FileHandle(const char* path, const char* mode) : f_(std::fopen(path, mode)) {}
    // Takes over an open file (null: none).
    explicit FileHandle(std::FILE* f) : f_(f) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    FileHandle(FileHandle&& o) noexcept : f_(o.f_) { o.f_ = nullptr; }
    FileHandle& operator=(FileHandle&& o) noexcept {
        if (this != &o) {
            Close();
            f_ = o.f_;
            o.f_ = nullptr;
        }
        return *this;
    }
    ~FileHandle() { Close(); }

    explicit operator bool() const { return f_ != nullptr; }
    std::FILE* get() const { return f_; }

    // Closes the file; returns false when the close (the final flush) failed or nothing was open.
    bool Close() {
        if (f_ == nullptr) return false;
        bool ok = std::fclose(f_) == 0;
        f_ = nullptr;
        return ok;
    }

  private:
    std::FILE* f_ = nullptr;
};

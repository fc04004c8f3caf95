#include "platform/FileSync.h"

#include <cstring>

#include "platform/FileSyncOs.h"
#include "platform/HostPaths.h"
#include "platform/PrivateFile.h"

namespace plat {

namespace {

constexpr char kTempSuffix[] = ".tmp";

// Closes the file at the end of the scope unless Close() did so already.
class OpenFile {
  public:
    explicit OpenFile(std::FILE* f) : f_(f) {}
    ~OpenFile() {
        if (f_ != nullptr) std::fclose(f_);
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    std::FILE* get() const { return f_; }
    bool Close() {
        std::FILE* f = f_;
        f_ = nullptr;
        return f != nullptr && std::fclose(f) == 0;
    }

  private:
    std::FILE* f_;
};

}  // namespace

bool WriteFileAtomically(const char* path, const std::function<bool(std::FILE*)>& writeContent,
                         Durability durability, const char* tempPath, FileAccess access) {
    if (path == nullptr || path[0] == '\0' || !writeContent) return false;
    char temp[SRV_PATH_MAX];
    const size_t pathLen = std::strlen(path);
    if (tempPath != nullptr) {
        const size_t n = std::strlen(tempPath);
        if (n == 0 || n >= sizeof temp) return false;
        std::memcpy(temp, tempPath, n + 1);
    } else {
        if (pathLen + sizeof kTempSuffix > sizeof temp) return false;
        std::memcpy(temp, path, pathLen);
        std::memcpy(temp + pathLen, kTempSuffix, sizeof kTempSuffix);
    }
    if (std::strcmp(temp, path) == 0) return false;

    OpenFile f(access == FileAccess::OwnerOnly ? OpenPrivateFile(temp) : std::fopen(temp, "w"));
    if (f.get() == nullptr) return false;
    bool ok = writeContent(f.get());
    if (durability == Durability::Flush)
        ok = ok && SyncFile(f.get());
    else
        ok = ok && std::fflush(f.get()) == 0;
    ok = f.Close() && ok;
    if (ok) ok = ReplaceFile(temp, path);
    if (!ok) {
        std::remove(temp);
        return false;
    }
    // The file is in place whatever the folder sync gives: a failure here can only make a power
    // loss bring the old file back, whole.
    if (durability == Durability::Flush) SyncReplacedEntry(path);
    return true;
}

}  // namespace plat

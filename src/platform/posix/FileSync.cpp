#include "platform/FileSync.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/FileSyncOs.h"
#include "platform/HostPaths.h"

namespace plat {

bool SyncFile(std::FILE* f) {
    if (f == nullptr || std::fflush(f) != 0) return false;
    int fd = fileno(f);
    return fd >= 0 && fsync(fd) == 0;
}

bool SyncReplacedEntry(const char* path) {
    // The folder: everything before the last '/', "/" for a file in the root, "." for a bare
    // name.
    char dir[SRV_PATH_MAX];
    const char* slash = std::strrchr(path, '/');
    size_t n = slash == nullptr ? 0 : static_cast<size_t>(slash - path);
    if (slash == nullptr) {
        dir[0] = '.';
        n = 1;
    } else if (n == 0) {
        dir[0] = '/';
        n = 1;
    } else if (n < sizeof dir) {
        std::memcpy(dir, path, n);
    } else {
        return false;
    }
    dir[n] = '\0';
    int fd;
    do {
        fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    return close(fd) == 0 && ok;
}

}  // namespace plat

#include "platform/FileSync.h"

#include <unistd.h>

namespace plat {

bool SyncFile(std::FILE* f) {
    if (f == nullptr || std::fflush(f) != 0) return false;
    int fd = fileno(f);
    return fd >= 0 && fsync(fd) == 0;
}

}  // namespace plat

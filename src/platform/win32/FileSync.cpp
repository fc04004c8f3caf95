#include "platform/FileSync.h"

#include <io.h>

namespace plat {

bool SyncFile(std::FILE* f) {
    if (f == nullptr || std::fflush(f) != 0) return false;
    int fd = _fileno(f);
    return fd >= 0 && _commit(fd) == 0;
}

}  // namespace plat

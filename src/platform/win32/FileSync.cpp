#include "platform/FileSync.h"

#include <io.h>

#include "platform/FileSyncOs.h"

namespace plat {

bool SyncFile(std::FILE* f) {
    if (f == nullptr || std::fflush(f) != 0) return false;
    int fd = _fileno(f);
    return fd >= 0 && _commit(fd) == 0;
}

bool SyncReplacedEntry(const char*) {
    // ReplaceFile (MOVEFILE_WRITE_THROUGH) returned only once the move was on the disk.
    return true;
}

}  // namespace plat

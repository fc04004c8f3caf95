#include "platform/PrivateFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace plat {

std::FILE* OpenPrivateFile(const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    // A file that existed keeps its mode through open: narrow it.
    if (fchmod(fd, 0600) != 0) {
        const int e = errno;
        close(fd);
        errno = e;
        return nullptr;
    }
    std::FILE* f = fdopen(fd, "w");
    if (f == nullptr) {
        const int e = errno;
        close(fd);
        errno = e;
    }
    return f;
}

}  // namespace plat

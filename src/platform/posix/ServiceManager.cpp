#include "platform/ServiceManager.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>

#include <cstdio>
#include <cstdlib>

namespace plat {

bool OutputGoesToJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) return false;
    unsigned long long dev = 0, ino = 0;
    if (std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2) return false;
    struct stat st {};
    if (fstat(2, &st) != 0) return false;
    return static_cast<unsigned long long>(st.st_dev) == dev &&
           static_cast<unsigned long long>(st.st_ino) == ino;
}

bool ServiceNotify(const char* state) {
    return sd_notify(0, state) > 0;
}

uint64_t ServiceWatchdogUsec() {
    uint64_t usec = 0;
    return sd_watchdog_enabled(0, &usec) > 0 ? usec : 0;
}

}  // namespace plat

#include "platform/ServiceManager.h"

namespace plat {

// No service manager on Windows speaks the notification protocol.
bool OutputGoesToJournal() {
    return false;
}

bool ServiceNotify(const char*) {
    return false;
}

uint64_t ServiceWatchdogUsec() {
    return 0;
}

}  // namespace plat

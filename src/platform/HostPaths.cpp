// The host services that the standard library covers alike on every host.
#include "platform/HostPaths.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace plat {

int64_t NowSeconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

void SleepMs(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace plat

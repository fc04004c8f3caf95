#include "platform/Threads.h"

#include <system_error>
#include <thread>

namespace plat {

bool StartDetachedThread(ThreadEntry entry, void* arg) {
    try {
        std::thread(entry, arg).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

}  // namespace plat

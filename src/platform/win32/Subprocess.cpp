#include "platform/Subprocess.h"

#include "platform/Process.h"

namespace plat {

// Watched programs are not available on Windows: callers launch detached there.
bool Subprocess::Available() {
    return false;
}

Subprocess::~Subprocess() = default;

int Subprocess::Start(const char* const[], const char* const[], std::string* why) {
    if (why != nullptr) *why = "watched programs are not available in the Windows build";
    return LAUNCH_FAILED;
}

bool Subprocess::ReadLines(int, const std::function<void(const std::string&)>&) {
    return true;
}

bool Subprocess::Wait(int, int*) {
    return false;
}

bool Subprocess::WatchToEnd(int, const std::function<void(const std::string&)>&, int*) {
    return false;
}

void Subprocess::Kill() {}

void Subprocess::Detach() {}

}  // namespace plat

// Placeholder until the autostart entry is built: the key never opens, so nothing is registered.
#include "platform/StartupReg.h"

namespace plat {
bool StartupKeyOpen() {
    return false;
}
bool StartupValueExists(const char*) {
    return false;
}
bool StartupValueWrite(const char*, const char*) {
    return false;
}
bool StartupValueDelete(const char*) {
    return false;
}
}  // namespace plat

#include "platform/PrivateFile.h"

namespace plat {

// Windows has no mode bits: the file inherits the access rules of its folder, the agent's own.
std::FILE* OpenPrivateFile(const char* path) {
    return std::fopen(path, "w");
}

}  // namespace plat

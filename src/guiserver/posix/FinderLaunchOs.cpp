// The responder is a native program beside the agent: <ServerDir>/EchoBack KELDRAN, started
// directly (there is no command interpreter or Java runtime in between).
#include "guiserver/FinderLaunchOs.h"

#include <cstdio>
#include <cstring>

#include "platform/HostPaths.h"
#include "platform/Process.h"

int LaunchFinderResponder(const char* serverDir) {
    char path[plat::SRV_PATH_MAX];
    if (serverDir == nullptr || serverDir[0] == '\0') return plat::LAUNCH_FILE_NOT_FOUND;
    // The root folder ends in its separator already.
    const char sep[2] = {plat::PathSeparator(), '\0'};
    const bool endsInSep = serverDir[std::strlen(serverDir) - 1] == sep[0];
    int n =
        std::snprintf(path, sizeof path, "%s%s%s", serverDir, endsInSep ? "" : sep, FINDER_PROGRAM);
    // A path that cannot be formed names no program that could exist.
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) return plat::LAUNCH_FILE_NOT_FOUND;
    const char* const argv[] = {path, FINDER_KEY, nullptr};
    return plat::LaunchDetached(argv);
}

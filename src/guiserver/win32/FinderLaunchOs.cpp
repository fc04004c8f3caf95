// The responder through the command interpreter: "open" "cmd.exe" with the parameter text,
// hidden, exactly as the launch has always been made on Windows.
#include "guiserver/FinderLaunchOs.h"

#include "platform/HostPaths.h"
#include "platform/Process.h"
#include "platform/win32/ShellOpen.h"

int LaunchFinderResponder(const char* serverDir) {
    char params[plat::SRV_PATH_MAX + 64];
    if (serverDir == nullptr || !BuildFinderParams(params, sizeof params, serverDir))
        return plat::LAUNCH_FILE_NOT_FOUND;
    return plat::ShellOpenHidden("cmd.exe", params);
}

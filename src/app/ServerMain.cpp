#include "app/ServerMain.h"

#include "app/CommandLine.h"
#include "app/ServerStartUp.h"
#include "platform/Desktop.h"
#include "platform/InstanceLock.h"
#include "shell/TrayWindow.h"

int ServerMain(int argc, char** argv) {
    const char* configPath = nullptr;
    int exitCode = 0;
    if (!ParseAgentCommandLine(argc, argv, &configPath, &exitCode)) return exitCode;
    // The display first, so that even the second-instance warning is a real box on a desktop.
    plat::DesktopConnect();
    // One copy per machine. Another copy: warning box, exit 0, no log line.
    if (plat::AcquireInstanceLock(SERVER_INSTANCE_MUTEX) ==
        plat::InstanceLockResult::AlreadyRunning) {
        plat::ShowMessageBox("Warning", "The Program Has Already Invoked in Other Session !!\n",
                             plat::MsgBoxIcon::None);
        return 0;
    }
    // The hidden window, titled and classed from the resources, and the tray icon.
    if (!CreateTrayWindow()) return 0;
    // The agent itself: its files, controllers, mail, responder and threads.
    ServerStartUp(configPath);
    // The message loop, until Exit.
    return plat::DesktopRunLoop();
}

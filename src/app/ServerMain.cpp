#include "app/ServerMain.h"

#include "app/ServerStartUp.h"
#include "platform/Desktop.h"
#include "platform/InstanceLock.h"
#include "shell/TrayWindow.h"

int ServerMain() {
    // The display first, so that even the second-instance warning is a real box on a desktop.
    plat::DesktopConnect();
    // 1. One copy per machine. Another copy: warning box, exit 0, no log line.
    if (plat::AcquireInstanceLock(SERVER_INSTANCE_MUTEX) ==
        plat::InstanceLockResult::AlreadyRunning) {
        plat::ShowMessageBox("Warning", "The Program Has Already Invoked in Other Session !!\n",
                             plat::MsgBoxIcon::None);
        return 0;
    }
    // 2, 3. Window title and class from the resources, hidden window and tray icon.
    if (!CreateTrayWindow()) return 0;
    // 4.
    ServerStartUp();
    // 5. The message loop, until Exit.
    return plat::DesktopRunLoop();
}

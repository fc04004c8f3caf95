#include "app/ServerStartUp.h"

#include "app/SubsystemHooks.h"
#include "base/ServerLog.h"
#include "controller/CtlrDiscovery.h"
#include "events/EventPolling.h"
#include "events/EventRecord.h"
#include "guiserver/FinderLaunch.h"
#include "guiserver/GuiListener.h"
#include "mail/MailDispatch.h"
#include "platform/HostPaths.h"
#include "platform/Threads.h"

namespace {
void PollingThreadEntry(void*) {
    PollingCtlrEvent();
}
void ListenerThreadEntry(void*) {
    ThreadBuildGuiServer();
}
}  // namespace

// Start-up, one initialiser after the other in dependency order: the folder and the log, the
// controllers, mail, the discovery responder, the recorded histories, then the two threads that
// serve them.
void ServerStartUp() {
    ConnectSubsystems();
    // ServerDir: the folder of the executable, where the log and the agent's files live.
    char exePath[plat::SRV_PATH_MAX];
    if (!plat::GetExecutablePath(exePath, sizeof exePath)) exePath[0] = '\0';
    SetServerDirFromExePath(exePath);
    SrvLog("GS.1.1.5 Start.\n");
    InitCtlrTable();
    InitializeSmtp();
    InitFinderServer();
    plat::SleepMs(100);
    LoadEventBinFiles();
    // The polling thread and the GUI server run detached; nobody waits for them.
    if (plat::StartDetachedThread(&PollingThreadEntry, nullptr))
        SrvLog("PollingCtlrEvent CloseHandle.\n");
    if (plat::StartDetachedThread(&ListenerThreadEntry, nullptr))
        SrvLog("ThreadBuildGuiServer CloseHandle.\n");
}

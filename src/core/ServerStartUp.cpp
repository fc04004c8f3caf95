#include "core/ServerStartUp.h"

#include "controller/CtlrDiscovery.h"
#include "core/ServerLog.h"
#include "events/EventPolling.h"
#include "events/EventRecord.h"
#include "guiserver/FinderLaunch.h"
#include "guiserver/GuiListener.h"
#include "mail/MailConfig.h"
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

void ServerStartUp() {
    // 1, 2.
    char exePath[plat::SRV_PATH_MAX];
    if (!plat::GetExecutablePath(exePath, sizeof exePath)) exePath[0] = '\0';
    SetServerDirFromExePath(exePath);
    // 3.
    SrvLog("GS.1.1.5 Start.\n");
    // 4 to 8.
    InitCtlrTable();
    InitializeSmtp();
    InitFinderServer();
    plat::SleepMs(100);
    LoadEventBinFiles();
    // 9, 10. Threads run detached; nobody waits for them.
    if (plat::StartDetachedThread(&PollingThreadEntry, nullptr))
        SrvLog("PollingCtlrEvent CloseHandle.\n");
    if (plat::StartDetachedThread(&ListenerThreadEntry, nullptr))
        SrvLog("ThreadBuildGuiServer CloseHandle.\n");
}

#include "app/ServerStartUp.h"

#include <cstdio>

#include "app/CommandLine.h"
#include "app/SubsystemHooks.h"
#include "base/ServerLog.h"
#include "base/Settings.h"
#include "controller/CtlrDiscovery.h"
#include "events/EventPolling.h"
#include "events/EventRecord.h"
#include "guiserver/FinderLaunch.h"
#include "guiserver/GuiListener.h"
#include "mail/MailDispatch.h"
#include "platform/HostPaths.h"
#include "platform/Threads.h"

namespace {

// Reads pellomar.conf and hands each subsystem its part. Every fault goes to the log and to
// standard error; a faulty file leaves the GUI port to loopback clients.
void ApplySettingsFile() {
    char path[plat::SRV_PATH_MAX];
    SettingsFilePath(path, sizeof path);
    const AgentSettings s = LoadAgentSettings(path);
    if (s.found && s.Ok()) SrvLog("Settings : %s read.\n", path);
    for (const std::string& f : s.faults) {
        SrvLog("Settings : %s\n", f.c_str());
        std::fprintf(stderr, "pellomar: %s\n", f.c_str());
    }
    if (!s.Ok()) {
        const char* line = "the GUI port serves loopback clients only until the file is mended";
        SrvLog("Settings : %s.\n", line);
        std::fprintf(stderr, "pellomar: %s\n", line);
    }
    SetGuiPortSettings(s.gui);
}

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
    ApplySettingsFile();
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

#include "app/ServerStartUp.h"

#include <cstdio>

#include "app/AgentMetrics.h"
#include "app/SubsystemHooks.h"
#include "base/AgentPaths.h"
#include "base/ServerLog.h"
#include "base/Settings.h"
#include "controller/CtlrDiscovery.h"
#include "events/EventPolling.h"
#include "events/EventRecord.h"
#include "guiserver/FinderLaunch.h"
#include "guiserver/GuiListener.h"
#include "mail/MailDispatch.h"
#include "platform/HostPaths.h"
#include "platform/ServiceManager.h"
#include "platform/Threads.h"

namespace {

// Reports the settings file's faults in the log and on standard error; a faulty file leaves
// the GUI port to loopback clients (the settings say so already).
void ReportSettings(const AgentSettings& s) {
    if (s.found && s.Ok()) SrvLog("Settings : %s read.\n", s.path.c_str());
    for (const std::string& f : s.faults) {
        SrvLog("Settings : %s\n", f.c_str());
        std::fprintf(stderr, "pellomar: %s\n", f.c_str());
    }
    if (!s.Ok()) {
        const char* line = "the GUI port serves loopback clients only until the file is mended";
        SrvLog("Settings : %s.\n", line);
        std::fprintf(stderr, "pellomar: %s\n", line);
    }
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
void ServerStartUp(const char* configPath) {
    ConnectSubsystems();
    // Under the service manager every log line also goes to the journal.
    SetLogToStderr(plat::OutputGoesToJournal());
    // The settings file, then where the agent's files go: the log, the state, the programs.
    char exePath[plat::SRV_PATH_MAX];
    if (!plat::GetExecutablePath(exePath, sizeof exePath)) exePath[0] = '\0';
    char settingsPath[plat::SRV_PATH_MAX];
    ResolveSettingsPath(exePath, configPath, settingsPath, sizeof settingsPath);
    const AgentSettings settings = LoadAgentSettings(settingsPath);
    ApplyAgentPaths(exePath, settings.paths);
    SrvLog("GS.1.1.5 Start.\n");
    ReportSettings(settings);
    SetGuiPortSettings(settings.gui);
    InitCtlrTable();
    InitializeSmtp();
    ApplyMailSettings(settings);
    InitFinderServer();
    plat::SleepMs(100);
    LoadEventBinFiles();
    // The polling thread and the GUI server run detached; nobody waits for them.
    if (plat::StartDetachedThread(&PollingThreadEntry, nullptr))
        SrvLog("PollingCtlrEvent CloseHandle.\n");
    if (plat::StartDetachedThread(&ListenerThreadEntry, nullptr))
        SrvLog("ThreadBuildGuiServer CloseHandle.\n");
    StartAgentMetrics(settings.metrics);
}

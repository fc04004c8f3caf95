#include "app/SubsystemHooks.h"

#include <chrono>
#include <cstdio>

#include "controller/CtlrHooks.h"
#include "controller/CtlrTable.h"
#include "events/EventPolling.h"
#include "events/EventRecord.h"
#include "guiserver/GuiListener.h"
#include "mail/MailConfig.h"
#include "mail/MailDispatch.h"
#include "platform/ServiceManager.h"

namespace {

const CtlrHooks kCtlrHooks{&ReloadEventBinFile, &FreeEventBinList};
const EventMailCalls kMailCalls{&MailEnableIsTrue, &IssueMailOut};

using Clock = std::chrono::steady_clock;
// How often the status line is renewed at most.
constexpr auto STATUS_INTERVAL = std::chrono::seconds(10);

void TellStatus() {
    char status[128];
    std::snprintf(status, sizeof status, "STATUS=%u controllers found, %llu clients served",
                  static_cast<unsigned>(CountCtlr()),
                  static_cast<unsigned long long>(GuiConnServedTotal()));
    plat::ServiceNotify(status);
}

// The polling thread is alive: a watchdog ping at twice the rate the service manager asked
// for, and now and then the status line. Runs on the polling thread only.
void PollingAlive() {
    static const uint64_t watchdogUsec = plat::ServiceWatchdogUsec();
    static Clock::time_point lastPing{};
    static Clock::time_point lastStatus{};
    const Clock::time_point now = Clock::now();
    if (watchdogUsec != 0 && now - lastPing >= std::chrono::microseconds(watchdogUsec / 2)) {
        plat::ServiceNotify("WATCHDOG=1");
        lastPing = now;
    }
    if (now - lastStatus >= STATUS_INTERVAL) {
        TellStatus();
        lastStatus = now;
    }
}

// The GUI port listens: the agent is ready.
void GuiListening(uint16_t) {
    plat::ServiceNotify("READY=1");
    TellStatus();
}

}  // namespace

void ConnectSubsystems() {
    SetCtlrHooks(&kCtlrHooks);
    SetEventMailCalls(&kMailCalls);
    SetPollingAliveHook(&PollingAlive);
    SetGuiListeningHook(&GuiListening);
}

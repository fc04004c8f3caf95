#include "app/SubsystemHooks.h"

#include <atomic>
#include <vector>

#include <chrono>
#include <cstdio>
#include "app/EventHook.h"
#include "events/EventClass.h"
#include "mail/MailRepeat.h"
#include "platform/HostPaths.h"

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

std::atomic<bool> g_mailRecovery{false};

// A mailed event's dispatch, with the controller's serial number for the subject.
void MailEvent(const RecordedEvent& e, const char* mailFileName) {
    DispatchMail(e.ctlrNo, mailFileName, e.serial, nullptr);
}

// The tables' word, recoveries when [mail] recovery asks for them, then the repeat policy.
bool ShouldMail(const RecordedEvent& e) {
    const EventKind& k = e.kind;
    if (!e.mailed && !k.recovery) return false;
    // A finished rebuild ends the controller's disk and degraded-array conditions.
    static const std::vector<int> kRebuildEnds = {static_cast<int>(EventClass::Disk),
                                                  static_cast<int>(EventClass::ArrayDegraded)};
    static const std::vector<int> kNone;
    const bool rebuildDone = k.recovery && k.cls == EventClass::Task;
    return MailRepeatAllows(e.serial, static_cast<int>(k.cls), k.object, k.recovery,
                            rebuildDone ? kRebuildEnds : kNone, g_mailRecovery.load(),
                            plat::NowSeconds());
}

const EventMailCalls kMailCalls{&MailEnableIsTrue, &MailEvent, &ShouldMail, &QueueEventHook};

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

void ApplyMailSettings(const AgentSettings& s) {
    SetMailSubject(s.mail.subject.c_str());
    g_mailRecovery.store(s.mail.recovery);
    SetMailRepeatPolicy(s.mail.repeat);
    StartEventHook(s.hook);
}

void ConnectSubsystems() {
    SetCtlrHooks(&kCtlrHooks);
    SetEventMailCalls(&kMailCalls);
    SetPollingAliveHook(&PollingAlive);
    SetGuiListeningHook(&GuiListening);
}

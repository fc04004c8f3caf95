#include "app/AgentMetrics.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "app/EventHook.h"
#include "base/ServerLog.h"
#include "controller/CtlrHealth.h"
#include "controller/CtlrTable.h"
#include "events/EventClass.h"
#include "events/EventPolling.h"
#include "guiserver/GuiListener.h"
#include "mail/MailDispatch.h"
#include "mail/MailRepeat.h"
#include "platform/FileSync.h"
#include "platform/HostPaths.h"
#include "platform/Threads.h"

namespace {

using plat::MetricFamilyData;
using plat::MetricSample;
using plat::MetricType;

// Controller numbers that have been alive at a scrape: gone ones report controller_up 0.
std::atomic<bool> g_seen[MAX_CTLR_NUM] = {};

std::string TextLabel(const char* field, size_t max) {
    std::string out;
    for (size_t i = 0; i < max && field[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(field[i]);
        out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '_';
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

const char* RoleName(uint8_t unitMark) {
    switch (unitMark) {
        case CTLR_UNIT_SECONDARY1:
            return "secondary1";
        case CTLR_UNIT_SECONDARY2:
            return "secondary2";
        case CTLR_UNIT_SECONDARY3:
            return "secondary3";
        default:
            return "primary";
    }
}

MetricFamilyData Family(const char* name, const char* help, MetricType type) {
    MetricFamilyData f;
    f.name = std::string("pellomar_") + name;
    f.help = help;
    f.type = type;
    return f;
}

void Add(MetricFamilyData& f, double value,
         std::vector<std::pair<std::string, std::string>> labels = {}) {
    f.samples.push_back(MetricSample{std::move(labels), value});
}

const char* RefusalLabel(GuiRefusal r) {
    switch (r) {
        case GuiRefusal::NotAllowed:
            return "allow_list";
        case GuiRefusal::PerSource:
            return "per_source";
        case GuiRefusal::TimedOut:
            return "timeout";
    }
    return "other";
}

void MetricsTextFileThread(void* arg) {
    const std::string path = *static_cast<std::string*>(arg);
    delete static_cast<std::string*>(arg);
    bool failing = false;
    for (;;) {
        const bool ok = WriteMetricsTextFile(path.c_str());
        if (ok != !failing) {
            // Logged when it starts failing and when it works again, not every 15 s.
            SrvLog(ok ? "Metrics : %s written again.\n" : "Metrics : cannot write %s.\n",
                   path.c_str());
            failing = !ok;
        }
        plat::SleepMs(METRICS_TEXTFILE_INTERVAL_S * 1000);
    }
}

}  // namespace

std::vector<MetricFamilyData> CollectAgentMetrics() {
    std::vector<MetricFamilyData> out;

    MetricFamilyData build = Family("build_info", "The agent's version.", MetricType::Gauge);
    Add(build, 1, {{"version", PELLOMAR_VERSION}});
    out.push_back(std::move(build));

    MetricFamilyData info = Family("controller_info",
                                   "A live controller unit: serial number, model, firmware and "
                                   "unit role.",
                                   MetricType::Gauge);
    MetricFamilyData up = Family("controller_up",
                                 "1 while the controller number holds a live unit, 0 once it "
                                 "is gone.",
                                 MetricType::Gauge);
    MetricFamilyData lastPoll =
        Family("controller_last_poll_success_timestamp_seconds",
               "When the controller last answered an event fetch.", MetricType::Gauge);
    MetricFamilyData pollErrors =
        Family("poll_errors_total", "Event fetches the channel or the controller failed.",
               MetricType::Counter);
    MetricFamilyData events =
        Family("events_total", "Events fetched, by class and severity.", MetricType::Counter);
    MetricFamilyData lastEvent =
        Family("last_event_timestamp_seconds", "When the last event of each severity was fetched.",
               MetricType::Gauge);
    MetricFamilyData relayFailures =
        Family("relay_failures_total", "In-band commands relayed to the controller that failed.",
               MetricType::Counter);
    const RelayStats relay = GetRelayStats();

    for (uint8_t n = 0; n < MAX_CTLR_NUM; ++n) {
        const CtlrEntry e = SnapshotCtlrEntry(n);
        const bool alive = e.bState == CTLR_STATUS_ALIVE;
        if (alive) g_seen[n].store(true);
        if (!alive && !g_seen[n].load()) continue;
        const std::string ctlr = std::to_string(n);
        Add(up, alive ? 1 : 0, {{"controller", ctlr}});
        if (alive)
            Add(info, 1,
                {{"controller", ctlr},
                 {"serial", TextLabel(e.cCtrlSN, CTLR_SN_SIZE - 1)},
                 {"model", TextLabel(e.cIdent16, 16)},
                 {"firmware", TextLabel(e.cIdent112, 16)},
                 {"role", RoleName(e.bUnitMark)}});
        const CtlrPollStats p = GetCtlrPollStats(n);
        if (p.lastPollSuccess != 0)
            Add(lastPoll, static_cast<double>(p.lastPollSuccess), {{"controller", ctlr}});
        Add(pollErrors, static_cast<double>(p.pollErrors), {{"controller", ctlr}});
        for (int k = 0; k < EVENT_CLASS_COUNT; ++k)
            for (int v = 0; v < EVENT_SEVERITY_COUNT; ++v)
                if (p.events[k][v] != 0)
                    Add(events, static_cast<double>(p.events[k][v]),
                        {{"controller", ctlr},
                         {"event", EventClassName(static_cast<EventClass>(k))},
                         {"severity", EventSeverityName(static_cast<EventSeverity>(v))}});
        for (int v = 0; v < EVENT_SEVERITY_COUNT; ++v)
            if (p.lastEvent[v] != 0)
                Add(lastEvent, static_cast<double>(p.lastEvent[v]),
                    {{"controller", ctlr},
                     {"severity", EventSeverityName(static_cast<EventSeverity>(v))}});
        Add(relayFailures, static_cast<double>(relay.failures[n]), {{"controller", ctlr}});
    }
    for (MetricFamilyData* f : {&info, &up, &lastPoll, &pollErrors, &events, &lastEvent})
        out.push_back(std::move(*f));

    MetricFamilyData relayCommands = Family(
        "relay_commands_total", "In-band commands relayed to a controller.", MetricType::Counter);
    Add(relayCommands, static_cast<double>(relay.commands));
    out.push_back(std::move(relayCommands));
    out.push_back(std::move(relayFailures));

    MetricFamilyData conns =
        Family("gui_connections", "GUI connections being served now.", MetricType::Gauge);
    Add(conns, GuiConnCount.load());
    out.push_back(std::move(conns));
    MetricFamilyData connsTotal = Family(
        "gui_connections_total", "GUI connections accepted and served.", MetricType::Counter);
    Add(connsTotal, static_cast<double>(GuiConnServedTotal()));
    out.push_back(std::move(connsTotal));
    MetricFamilyData refused = Family("gui_connections_refused_total",
                                      "GUI connections closed before their request was served, "
                                      "by reason.",
                                      MetricType::Counter);
    for (GuiRefusal r : {GuiRefusal::NotAllowed, GuiRefusal::PerSource, GuiRefusal::TimedOut})
        Add(refused, static_cast<double>(GuiRefusedCount(r)), {{"reason", RefusalLabel(r)}});
    out.push_back(std::move(refused));

    const MailDispatchStats mail = GetMailDispatchStats();
    MetricFamilyData scripts = Family(
        "mail_scripts_total", "Mailer scripts started, one per mailed event.", MetricType::Counter);
    Add(scripts, static_cast<double>(mail.scripts));
    out.push_back(std::move(scripts));
    MetricFamilyData scriptFailures =
        Family("mail_script_failures_total", "Mailer scripts that could not be written or started.",
               MetricType::Counter);
    Add(scriptFailures, static_cast<double>(mail.scriptFailures));
    out.push_back(std::move(scriptFailures));
    MetricFamilyData notMailed = Family("mail_dropped_total",
                                        "Events to be mailed that were not, for want of a work "
                                        "record.",
                                        MetricType::Counter);
    Add(notMailed, static_cast<double>(mail.notMailed));
    out.push_back(std::move(notMailed));

    const MailOutcomeStats outcomes = GetMailOutcomeStats();
    MetricFamilyData sent =
        Family("mail_sent_total", "Mails the server accepted, per recipient.", MetricType::Counter);
    Add(sent, static_cast<double>(outcomes.sent));
    out.push_back(std::move(sent));
    MetricFamilyData failed = Family(
        "mail_failed_total", "Mails that failed, per recipient, by reason.", MetricType::Counter);
    for (size_t i = 0; i < MAIL_FAIL_REASON_COUNT; ++i)
        Add(failed, static_cast<double>(outcomes.failed[i]),
            {{"reason", MAIL_FAIL_REASON_NAMES[i]}});
    out.push_back(std::move(failed));
    MetricFamilyData held =
        Family("mail_suppressed_total", "Mails the repeat policy held back.", MetricType::Counter);
    Add(held, static_cast<double>(MailRepeatSuppressed()));
    out.push_back(std::move(held));

    const EventHookStats hook = GetEventHookStats();
    MetricFamilyData runs =
        Family("hook_runs_total", "Event hook runs, by outcome.", MetricType::Counter);
    Add(runs, static_cast<double>(hook.ok), {{"outcome", "ok"}});
    Add(runs, static_cast<double>(hook.failed), {{"outcome", "failed"}});
    Add(runs, static_cast<double>(hook.timedOut), {{"outcome", "timeout"}});
    Add(runs, static_cast<double>(hook.dropped), {{"outcome", "dropped"}});
    out.push_back(std::move(runs));
    return out;
}

bool WriteMetricsTextFile(const char* path) {
    std::string text, err;
    if (!plat::RenderMetricsText(CollectAgentMetrics(), &text, &err)) return false;
    return plat::WriteFileAtomically(
        path,
        [&text](std::FILE* f) {
            return std::fwrite(text.data(), 1, text.size(), f) == text.size();
        },
        plat::Durability::None);
}

void StartAgentMetrics(const MetricsSettings& m) {
    if (!m.listen.empty()) {
        std::string err;
        if (plat::StartMetricsEndpoint(m.listen, &CollectAgentMetrics, &err))
            SrvLog("Metrics : serving http://%s/metrics.\n", m.listen.c_str());
        else
            SrvLog("Metrics : cannot serve %s (%s).\n", m.listen.c_str(), err.c_str());
    }
    if (!m.textfile.empty()) {
        auto* path = new std::string(m.textfile);
        if (plat::StartDetachedThread(&MetricsTextFileThread, path)) {
            SrvLog("Metrics : writing %s every %d s.\n", m.textfile.c_str(),
                   METRICS_TEXTFILE_INTERVAL_S);
        } else {
            delete path;
            SrvLog("Metrics : cannot start writing %s.\n", m.textfile.c_str());
        }
    }
}

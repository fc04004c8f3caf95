// events, history, watch: a controller's queued events and its recorded history (request
// type 3), each event shown as hex and as the English text the agent itself renders.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "CliCommands.h"
#include "common/HexText.h"
#include "events/EventClass.h"
#include "events/EventText.h"
#include "protocol/ByteOrder.h"
#include "protocol/EventWire.h"
#include "protocol/GuiFrame.h"
#include "protocol/SysStatus.h"

namespace {

// The English text of `bytes` (32 bytes) without its last line end: its lines joined by "\n".
std::string EventTextOf(const uint8_t* bytes) {
    CtlrEvent e;
    std::memcpy(&e, bytes, EVENT_REC_SIZE);
    char text[EVENT_TEXT_MAX];
    EventToText(e, text);
    std::string s = text;
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
}

// The lines of the text of `bytes`, at least one.
std::vector<std::string> EventTextLines(const uint8_t* bytes) {
    const std::string text = EventTextOf(bytes);
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1)
        lines.push_back(text.substr(from, end - from));
    lines.push_back(text.substr(from));
    return lines;
}

// "2026-12-07T14:05:09" from a recorded "12/07/26 14:05:09"; "" when `when` isn't one.
std::string IsoTime(const std::string& when) {
    static const char kShape[] = "99/99/99 99:99:99";
    if (when.size() != sizeof kShape - 1) return "";
    for (size_t i = 0; i < when.size(); ++i) {
        const bool digit = when[i] >= '0' && when[i] <= '9';
        if (kShape[i] == '9' ? !digit : when[i] != kShape[i]) return "";
    }
    return "20" + when.substr(6, 2) + "-" + when.substr(0, 2) + "-" + when.substr(3, 2) + "T" +
           when.substr(9, 8);
}

// The local time now as the agent records it: "MM/DD/YY HH:MM:SS".
std::string LocalNow() {
    char stamp[32] = "";
    const std::time_t now = std::time(nullptr);
    if (const std::tm* tm = std::localtime(&now))
        std::snprintf(stamp, sizeof stamp, "%02d/%02d/%02d %02d:%02d:%02d", tm->tm_mon + 1,
                      tm->tm_mday, tm->tm_year % 100, tm->tm_hour, tm->tm_min, tm->tm_sec);
    return stamp;
}

// An event as the JSON documents show it (doc/cli-json.md): `n` of its bytes in hex; the rest of
// the 32 bytes count as 0 for the text and the class.
CliJsonDoc EventJson(const std::string& when, const std::string& serial, const uint8_t* bytes,
                     size_t n) {
    uint8_t all[EVENT_REC_SIZE] = {};
    std::memcpy(all, bytes, std::min<size_t>(n, EVENT_REC_SIZE));
    const EventKind kind = ClassifyEvent(CtlrEvent::FromBytes(all));
    const std::string iso = IsoTime(when);
    CliJsonDoc j;
    j["time"] = when;
    j["time_iso"] = iso.empty() ? CliJsonDoc() : CliJsonDoc(iso);
    j["serial"] = serial.empty() ? CliJsonDoc() : CliJsonDoc(serial);
    j["hex"] = hex::Format(all, std::min<size_t>(n, EVENT_REC_SIZE));
    j["text"] = EventTextOf(all);
    j["class"] = EventClassName(kind.cls);
    j["severity"] = EventSeverityName(kind.severity);
    j["recovery"] = kind.recovery;
    return j;
}

// Explains a failure reply of a type-3 request; true when `body` is one.
bool ReportFailure(const gui::Bytes& body, const std::string& sn) {
    uint8_t status = 0;
    if (!CliFailureReply(body, &status)) return false;
    switch (status) {
        case SYSFAIL_CTLR_NOT_FOUND:
            CliFail("no live controller has the serial number '%s' (status 0x25)", sn.c_str());
            break;
        case SYSFAIL_EVENT_REQ_FAIL:
            CliFail("the agent could not take an event of '%s' (status 0x32; see its log)",
                    sn.c_str());
            break;
        default:
            CliFail("failure reply for '%s': status 0x%02x", sn.c_str(), status);
            break;
    }
    return true;
}

// One sub-type-1 exchange. Returns CLI_OK with *got telling whether an event came (its 32
// bytes in `event`), or CLI_FAIL with the reason printed.
int TakeOneEvent(const CliContext& ctx, const std::string& sn, bool* got,
                 uint8_t (&event)[EVENT_REC_SIZE], std::string* transportError) {
    const gui::Bytes req =
        gui::ControllerRequest(REQ_GET_INBAND_EVENT, sn, {static_cast<uint8_t>(EVENT_REQ_ONE)});
    gui::Reply r = gui::Exchange(ctx.ep, req);
    if (!r.ok) {
        *transportError = r.error;
        return CLI_FAIL;
    }
    if (ReportFailure(r.body, sn)) return CLI_FAIL;
    if (r.body.size() != EVENT_ONE_REPLY_SIZE || r.body[3] != SYS_SUCCESS ||
        (r.body[4] != SYS_SUCCESS && r.body[4] != SYSFAIL_EVENT_EMPTY))
        return CliFail("unexpected reply: %s", gui::Hex(r.body).c_str());
    *got = r.body[4] == SYS_SUCCESS;
    std::memcpy(event, r.body.data() + 5, EVENT_REC_SIZE);
    return CLI_OK;
}

int RunEvents(const CliContext& ctx) {
    if (ctx.args.size() != 1) return CliUsage("events");
    const std::string& sn = ctx.args[0];
    if (!CliCheckSerial(sn)) return CLI_USAGE;
    bool got = false;
    uint8_t event[EVENT_REC_SIZE];
    std::string err;
    if (TakeOneEvent(ctx, sn, &got, event, &err) != CLI_OK) {
        if (!err.empty())
            CliFail("%s:%u: %s", ctx.ep.host.c_str(), static_cast<unsigned>(ctx.ep.port),
                    err.c_str());
        return CLI_FAIL;
    }
    if (CliJson()) {
        CliPrintJson(
            {{"serial", sn},
             {"event", got ? EventJson(LocalNow(), sn, event, EVENT_REC_SIZE) : CliJsonDoc()}});
        return CLI_OK;
    }
    if (!got) {
        std::printf("no event queued for %s\n", sn.c_str());
        return CLI_OK;
    }
    std::printf("%s\n", hex::Format(event, EVENT_REC_SIZE).c_str());
    for (const std::string& line : EventTextLines(event))
        std::printf("%s\n", line.c_str());
    return CLI_OK;
}

// One entry of the event list, split into its parts.
struct HistoryEntry {
    std::string when;    // "MM/DD/YY HH:MM:SS", or the raw prefix when it isn't a recorded line
    std::string serial;  // the serial number as recorded ("" when the prefix isn't a line's)
    uint8_t bytes[EVENT_REC_SIZE];  // bytes 28 to 31 are not sent: 0 here
};

HistoryEntry ParseEntry(const uint8_t* entry) {
    HistoryEntry h{};
    const std::string prefix(reinterpret_cast<const char*>(entry),
                             strnlen(reinterpret_cast<const char*>(entry), EVENT_LIST_PREFIX_LEN));
    // A recorded line: "MM/DD/YY-HH:MM:SS" and a backslash, the serial number, a backslash.
    const size_t sn = EVENT_BIN_PREFIX_LEN;
    if (prefix.size() > sn && prefix[8] == '-' && prefix[sn - 1] == '\\') {
        h.when = prefix.substr(0, 8) + " " + prefix.substr(9, 8);
        const size_t end = prefix.find('\\', sn);
        h.serial = prefix.substr(sn, end == std::string::npos ? std::string::npos : end - sn);
    } else {
        h.when = prefix;
    }
    std::memcpy(h.bytes, entry + EVENT_LIST_PREFIX_LEN, EVENT_LIST_EVENT_BYTES);
    return h;
}

int RunHistory(const CliContext& ctx) {
    bool newestFirst = false;
    std::vector<std::string> pos;
    for (size_t i = 0; i < ctx.args.size(); ++i) {
        if (ctx.IsOption(i) && ctx.args[i] == "--newest-first")
            newestFirst = true;
        else
            pos.push_back(ctx.args[i]);
    }
    if (pos.size() != 1) return CliUsage("history");
    const std::string& sn = pos[0];
    if (!CliCheckSerial(sn)) return CLI_USAGE;
    const gui::Bytes req =
        gui::ControllerRequest(REQ_GET_INBAND_EVENT, sn, {static_cast<uint8_t>(EVENT_REQ_LIST)});
    gui::Reply r;
    if (!CliExchange(ctx, req, &r)) return CLI_FAIL;
    if (ReportFailure(r.body, sn)) return CLI_FAIL;
    if (r.body.size() < EVENT_LIST_HEADER_SIZE || r.body[3] != SYS_SUCCESS)
        return CliFail("unexpected reply: %s", gui::Hex(r.body, 0, 16).c_str());
    const uint32_t count = GetLe32(r.body.data() + 5);
    if (count > EVENT_BIN_LIST_MAX ||
        r.body.size() != EVENT_LIST_HEADER_SIZE + uint64_t{EVENT_LIST_ENTRY_SIZE} * count)
        return CliFail("malformed event list: %u entries in %llu bytes", count,
                       static_cast<unsigned long long>(r.body.size()));
    if (CliJson()) {
        // The agent's order: newest first.
        CliJsonDoc events = CliJsonDoc::array();
        for (uint32_t i = 0; i < count; ++i) {
            const HistoryEntry h =
                ParseEntry(r.body.data() + EVENT_LIST_HEADER_SIZE + EVENT_LIST_ENTRY_SIZE * i);
            events.push_back(EventJson(h.when, h.serial, h.bytes, EVENT_LIST_EVENT_BYTES));
        }
        CliPrintJson({{"serial", sn}, {"count", count}, {"events", std::move(events)}});
        return CLI_OK;
    }
    if (count == 0) {
        std::printf("no events recorded for %s\n", sn.c_str());
        return CLI_OK;
    }
    // The agent sends the newest first; a log reads best oldest first.
    for (uint32_t k = 0; k < count; ++k) {
        const uint32_t i = newestFirst ? k : count - 1 - k;
        const HistoryEntry h =
            ParseEntry(r.body.data() + EVENT_LIST_HEADER_SIZE + EVENT_LIST_ENTRY_SIZE * i);
        const std::string head =
            h.when + "  " + h.serial + "  " + hex::Format(h.bytes, EVENT_LIST_EVENT_BYTES) + "  ";
        const std::vector<std::string> lines = EventTextLines(h.bytes);
        for (size_t l = 0; l < lines.size(); ++l)
            std::printf("%s%s\n", l == 0 ? head.c_str() : std::string(head.size(), ' ').c_str(),
                        lines[l].c_str());
    }
    return CLI_OK;
}

volatile std::sig_atomic_t g_stopWatch = 0;
extern "C" void OnWatchSignal(int) {
    g_stopWatch = 1;
}

int RunWatch(const CliContext& ctx) {
    if (ctx.args.size() != 1) return CliUsage("watch");
    const std::string& sn = ctx.args[0];
    if (!CliCheckSerial(sn)) return CLI_USAGE;
    std::signal(SIGINT, OnWatchSignal);
    std::signal(SIGTERM, OnWatchSignal);
    if (!CliJson())
        std::fprintf(stderr, "pellomar-cli: watching %s at %s:%u (Ctrl-C ends)\n", sn.c_str(),
                     ctx.ep.host.c_str(), static_cast<unsigned>(ctx.ep.port));
    bool reached = false;
    while (g_stopWatch == 0) {
        // Take everything queued, then wait a second.
        for (;;) {
            bool got = false;
            uint8_t event[EVENT_REC_SIZE];
            std::string err;
            const int rc = TakeOneEvent(ctx, sn, &got, event, &err);
            if (g_stopWatch != 0) return CLI_OK;
            if (rc != CLI_OK) {
                if (!err.empty())
                    CliFail("%s the agent at %s:%u: %s", reached ? "lost" : "cannot reach",
                            ctx.ep.host.c_str(), static_cast<unsigned>(ctx.ep.port), err.c_str());
                return CLI_FAIL;
            }
            reached = true;
            if (!got) break;
            if (CliJson()) {
                CliPrintJson(EventJson(LocalNow(), sn, event, EVENT_REC_SIZE));
                continue;
            }
            char stamp[16] = "--:--:--";
            const std::time_t now = std::time(nullptr);
            if (const std::tm* tm = std::localtime(&now))
                std::strftime(stamp, sizeof stamp, "%H:%M:%S", tm);
            const std::string head =
                std::string(stamp) + "  " + hex::Format(event, EVENT_REC_SIZE) + "  ";
            const std::vector<std::string> lines = EventTextLines(event);
            for (size_t l = 0; l < lines.size(); ++l)
                std::printf("%s%s\n", l == 0 ? head.c_str() : std::string(head.size(), ' ').c_str(),
                            lines[l].c_str());
            std::fflush(stdout);
        }
        for (int i = 0; i < 10 && g_stopWatch == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return CLI_OK;
}

}  // namespace

CLI_COMMAND("events", "events SERIAL",
            "take the oldest queued event of a controller, print it as hex and text", 30, "",
            &RunEvents);
CLI_COMMAND("history", "history SERIAL [--newest-first]",
            "print a controller's recorded events (date, serial, hex, text), oldest first", 31,
            "--newest-first", &RunHistory);
CLI_COMMAND("watch", "watch SERIAL",
            "take and print a controller's queued events every second until Ctrl-C", 32, "",
            &RunWatch);

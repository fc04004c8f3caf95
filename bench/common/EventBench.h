// What the benchmarks of the event path (bench_events, bench_metrics) share: pellomar-sim with
// one primary unit per port, events injected into it, the agent's event path set up in this
// process against it, and the real polling thread timed while it drains controller 0 into the
// event files.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/ServerLog.h"
#include "common/BenchProcess.h"
#include "controller/CtlrTable.h"
#include "events/EventDefs.h"
#include "events/EventPolling.h"
#include "events/EventRecord.h"

namespace bench {

// The serial of the unit on port n: "BENCH-<what>-<n, two digits>".
inline std::string Serial(const char* what, int n) {
    char sn[CTLR_SN_SIZE];
    std::snprintf(sn, sizeof sn, "BENCH-%s-%02d", what, n);
    return sn;
}

// pellomar-sim serving root/dev, with one primary unit (serial Serial(what, port)) on each of
// ports 0 to ports - 1, no generated events and room for a million pending ones; its
// configuration in root/sim.json, its output in root/sim.out and sim.err. Returns its pid (or
// -1).
inline pid_t StartSim(const std::string& bin, const std::string& root, const char* what,
                      int ports) {
    std::string cfg =
        "{\"max_pending_events\": 1048576, \"scenario\": {\"enabled\": false}, \"ports\": [";
    for (int p = 0; p < ports; ++p)
        cfg += std::string(p ? "," : "") + "{\"port\": " + std::to_string(p) +
               ", \"units\": [{\"unit\": 0, \"serial\": \"" + Serial(what, p) + "\"}]}";
    cfg += "]}\n";
    FILE* f = std::fopen((root + "/sim.json").c_str(), "w");
    if (f == nullptr) return -1;
    std::fputs(cfg.c_str(), f);
    std::fclose(f);
    return Spawn({bin + "/pellomar-sim", "--dir", root + "/dev", "--config", root + "/sim.json"},
                 "", root + "/sim.out", root + "/sim.err");
}

// Queues `count` events in unit 0 of `port` of the simulator serving `dev`, through its control
// socket (`pellomar-sim ctl inject-event`). `what` is the event: "--name NAME" or a record in
// hex. False when the simulator refused.
inline bool InjectEvents(const std::string& bin, const std::string& dev, int port,
                         const std::string& what, uint32_t count) {
    while (count > 0) {
        const uint32_t n = std::min<uint32_t>(count, 100000);
        const std::string cmd = bin + "/pellomar-sim ctl --dir '" + dev + "' inject-event " +
                                std::to_string(port) + " 0 " + what + " --count " +
                                std::to_string(n) + " >/dev/null";
        if (std::system(cmd.c_str()) != 0) return false;
        count -= n;
    }
    return true;
}

// The value below which the share p of `v` lies (p = 0.5: the median).
inline double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// The agent's event path in this process, as discovery and start-up would leave it: ServerDir
// `root`, the current directory `cwd` (where the event files go), mail off, and controllers 0
// to ctlrs - 1 alive on the simulator's ports 0 to ctlrs - 1 with their serials. False when
// `cwd` cannot be entered.
inline bool SetUpEventPath(const std::string& root, const std::string& cwd, const char* what,
                           int ctlrs) {
    static const EventMailCalls kNoMail{[] { return false; },
                                        [](const RecordedEvent&, const char*) {}};
    SetServerDir(root.c_str());
    if (chdir(cwd.c_str()) != 0) return false;
    SetEventMailCalls(&kNoMail);
    for (int n = 0; n < ctlrs; ++n) {
        std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
        CtlrEntry& e = GetCtlrEntry(static_cast<uint8_t>(n));
        e.bState = CTLR_STATUS_ALIVE;
        std::snprintf(e.cDevName, sizeof e.cDevName, "\\\\.\\Scsi%d: ", n);
        std::snprintf(e.cCtrlSN, sizeof e.cCtrlSN, "%s", Serial(what, n).c_str());
    }
    InitEventQueues();
    return true;
}

// The real polling thread (PollingCtlrEvent) draining controller 0 (serial `serial0`) into the
// event files in `cwd`. The thread starts with the first round and never ends; the program
// leaves with _Exit.
class PollingRounds {
  public:
    PollingRounds(const std::string& cwd, const std::string& serial0)
        : hexLog_(cwd + "/event_bin_" + serial0),
          lineLen_(EVENT_BIN_PREFIX_LEN + serial0.size() + 1 + EVENT_HEX_DIGITS + 1) {}

    struct Timed {
        double events = 0;   // the events timed: those after the first of the round
        double seconds = 0;  // from the first event's line to the last one's
    };

    // One round: `inject` queues `events` events in the simulator, and the round waits for
    // their lines in the hex log. The thread may be in its one-second pause when they are
    // queued: the clock starts with the first line of the round. False when `inject` failed or
    // the lines did not all come within 10 minutes.
    bool Round(const std::function<bool()>& inject, uint32_t events, Timed* t) {
        const uintmax_t before = Recorded();
        if (!inject()) return false;
        if (!started_) {
            std::thread(PollingCtlrEvent).detach();
            started_ = true;
        }
        if (!WaitUntil([&] { return Recorded() > before; }, 10, 1)) return false;
        const auto t0 = std::chrono::steady_clock::now();
        const uintmax_t first = Recorded();
        if (!WaitUntil([&] { return Recorded() >= before + events; }, 600, 1)) return false;
        t->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        t->events = static_cast<double>(before + events - first);
        return true;
    }

  private:
    // Lines in the hex log so far (every line has the same length).
    uintmax_t Recorded() const {
        std::error_code ec;
        const uintmax_t size = std::filesystem::file_size(hexLog_, ec);
        return ec ? uintmax_t{0} : size / lineLen_;
    }

    std::string hexLog_;
    uintmax_t lineLen_;
    bool started_ = false;
};

}  // namespace bench

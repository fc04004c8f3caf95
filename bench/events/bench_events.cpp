// bench_events: the event path of the agent against pellomar-sim, in-process.
//
//   bench_events [--events N] [--sweeps S] [--rounds R]
//
// Starts pellomar-sim in a temporary folder with 15 units (ports 0 to 14, one primary unit
// each), fills the controller table by hand (as discovery would) and measures, with mail off:
//   - the idle sweep: the sweep time with 15 live controllers and no pending event (S sweeps,
//     SweepCtlrEvents); goal: within 2 ms;
//   - the polling rate: events per second drained from one controller by the real polling
//     thread (PollingCtlrEvent) into the event files: N events are queued in the simulator's
//     unit of port 0, the thread is started, and the clock stops when the N-th line has reached
//     the current-directory hex log; goal: at least 5,000 events/s;
//   - for comparison, the bare fetch rate: bare event-fetch channel calls into the same
//     simulator (the simulator's own ceiling); were the polling rate close to it, the simulator
//     would be the bottleneck.
// The R rounds of bare fetches run first, on this thread; then the R rounds of the polling rate,
// once the polling thread (which never ends) is the only caller. Medians are reported. Needs no
// agent and no port.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/ServerLog.h"
#include "common/BenchProcess.h"
#include "controller/CtlrChannel.h"
#include "controller/CtlrTable.h"
#include "events/EventDefs.h"
#include "events/EventPolling.h"
#include "events/EventRecord.h"
#include "protocol/SysStatus.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCtlrs = 15;

std::string Serial(int n) {
    char sn[CTLR_SN_SIZE];
    std::snprintf(sn, sizeof sn, "BENCH-EVENTS-%02d", n);
    return sn;
}

// Queues `count` events (LUN changes) in unit 0 of `port` through the simulator's control
// command; false when it refused.
bool Inject(const std::string& bin, const std::string& dev, int port, uint32_t count) {
    while (count > 0) {
        const uint32_t n = std::min<uint32_t>(count, 100000);
        const std::string cmd = bin + "/pellomar-sim ctl --dir '" + dev + "' inject-event " +
                                std::to_string(port) + " 0 14000102 --count " + std::to_string(n) +
                                " >/dev/null";
        if (std::system(cmd.c_str()) != 0) return false;
        count -= n;
    }
    return true;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

bool MailOff() {
    return false;
}
void NoMail(uint8_t, const char*) {}
const EventMailCalls kNoMail{&MailOff, &NoMail};

}  // namespace

int main(int argc, char** argv) {
    uint32_t events = 20000;
    int sweeps = 500, rounds = 3;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--events" && i + 1 < argc)
            events = static_cast<uint32_t>(std::atol(argv[++i]));
        else if (a == "--sweeps" && i + 1 < argc)
            sweeps = std::atoi(argv[++i]);
        else if (a == "--rounds" && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: bench_events [--events N] [--sweeps S] [--rounds R]\n");
            return 2;
        }
    }
    if (events < 1000 || events > 1000000 || sweeps < 10 || sweeps > 100000 || rounds < 1 ||
        rounds > 20) {
        std::fprintf(stderr,
                     "bench_events: --events 1000 to 1000000, --sweeps 10 to 100000, --rounds 1 "
                     "to 20\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string bin = PELLOMAR_BIN_DIR;
    char tmpl[] = "/tmp/pellomar-bench-events-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    const std::string root = tmpl, dev = root + "/dev", cwd = root + "/cwd";
    mkdir(cwd.c_str(), 0755);
    {
        std::string cfg =
            "{\"max_pending_events\": 1048576, \"scenario\": {\"enabled\": false},"
            " \"ports\": [";
        for (int p = 0; p < kCtlrs; ++p)
            cfg += std::string(p ? "," : "") + "{\"port\": " + std::to_string(p) +
                   ", \"units\": [{\"unit\": 0, \"serial\": \"" + Serial(p) + "\"}]}";
        cfg += "]}\n";
        FILE* f = std::fopen((root + "/sim.json").c_str(), "w");
        if (f == nullptr) return 1;
        std::fputs(cfg.c_str(), f);
        std::fclose(f);
    }
    pid_t sim = bench::Spawn({bin + "/pellomar-sim", "--dir", dev, "--config", root + "/sim.json"},
                             "", root + "/sim.out", root + "/sim.err");
    int rc = 1;
    do {
        if (!bench::WaitUntil([&] { return fs::exists(dev + "/sim.ctl"); }, 10, 1)) {
            std::fprintf(stderr, "bench_events: pellomar-sim did not start (%s/bin)\n",
                         bin.c_str());
            break;
        }
        SetServerDir(root.c_str());
        if (chdir(cwd.c_str()) != 0) break;
        SetEventMailCalls(&kNoMail);
        for (int n = 0; n < kCtlrs; ++n) {
            std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
            CtlrEntry& e = GetCtlrEntry(static_cast<uint8_t>(n));
            e.bState = CTLR_STATUS_ALIVE;
            std::snprintf(e.cDevName, sizeof e.cDevName, "\\\\.\\Scsi%d: ", n);
            std::snprintf(e.cCtrlSN, sizeof e.cCtrlSN, "%s", Serial(n).c_str());
        }
        InitEventQueues();

        // The idle sweep.
        std::vector<double> ms;
        for (int i = 0; i < 20 + sweeps; ++i) {
            auto t0 = Clock::now();
            SweepCtlrEvents();
            auto t1 = Clock::now();
            if (i >= 20) ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        }
        const double p50 = Percentile(ms, 0.5), p90 = Percentile(ms, 0.9),
                     p99 = Percentile(ms, 0.99);
        std::printf(
            "idle sweep, %d live controllers, no pending event (%d sweeps): p50 %.3f ms, "
            "p90 %.3f ms, p99 %.3f ms, max %.3f ms\n",
            kCtlrs, sweeps, p50, p90, p99, *std::max_element(ms.begin(), ms.end()));

        // The bare fetches run on this thread before the polling thread exists; afterwards the
        // polling thread is the only caller.
        std::vector<double> bare;
        for (int r = 0; r < rounds; ++r) {
            if (!Inject(bin, dev, 0, events)) break;
            uint8_t ev[EVENT_REC_SIZE];
            uint32_t got = 0;
            auto t0 = Clock::now();
            while (CtlrDevIoControl(0, IOCTL_DTR_GET_INBAND_EVENT, 0, nullptr, EVENT_REC_SIZE, ev,
                                    nullptr) == SYS_SUCCESS)
                ++got;
            double s = std::chrono::duration<double>(Clock::now() - t0).count();
            if (got != events) {
                std::fprintf(stderr, "bench_events: fetched %u of %u events\n", got, events);
                break;
            }
            bare.push_back(got / s);
            std::printf("round %d: bare event fetches from pellomar-sim: %.0f events/s\n", r + 1,
                        got / s);
        }
        if (bare.size() != static_cast<size_t>(rounds)) break;

        // The polling rate: the polling thread drains port 0 into the files; each round waits
        // for its events' lines. Every hex log line has the same length.
        const std::string hexLog = cwd + "/event_bin_" + Serial(0);
        const uintmax_t lineLen =
            EVENT_BIN_PREFIX_LEN + Serial(0).size() + 1 + EVENT_HEX_DIGITS + 1;
        auto recorded = [&] {
            std::error_code ec;
            const uintmax_t size = fs::file_size(hexLog, ec);
            return ec ? uintmax_t{0} : size / lineLen;
        };
        std::vector<double> rates;
        bool started = false;
        for (int r = 0; r < rounds; ++r) {
            const uintmax_t before = recorded();
            if (!Inject(bin, dev, 0, events)) break;
            if (!started) {
                std::thread(PollingCtlrEvent).detach();
                started = true;
            }
            // The thread may be in its one-second pause: the clock starts with the first
            // line of this round.
            if (!bench::WaitUntil([&] { return recorded() > before; }, 10, 1)) break;
            auto t0 = Clock::now();
            const uintmax_t first = recorded();
            if (!bench::WaitUntil([&] { return recorded() >= before + events; }, 600, 1)) break;
            double s = std::chrono::duration<double>(Clock::now() - t0).count();
            const double rate = static_cast<double>(before + events - first) / s;
            rates.push_back(rate);
            std::printf("round %d: polling thread into the files: %.0f events/s\n", r + 1, rate);
        }
        if (rates.size() != static_cast<size_t>(rounds)) {
            std::fprintf(stderr, "bench_events: the polling thread did not record every event\n");
            break;
        }
        const double rate = Median(rates), ceiling = Median(bare);
        std::printf(
            "events drained from one controller through the polling thread into the files "
            "(mail off): %.0f events/s (median; goal >= 5000): %s\n"
            "  bare event-fetch calls into pellomar-sim: %.0f events/s (the simulator's "
            "ceiling; the path uses %.0f%% of it)\n"
            "sweep of %d idle controllers: p50 %.3f ms, p99 %.3f ms (goal <= 2 ms): %s\n",
            rate, rate >= 5000 ? "met" : "NOT met", ceiling, 100.0 * rate / ceiling, kCtlrs, p50,
            p99, p50 <= 2.0 ? "met" : "NOT met");
        rc = 0;
    } while (false);
    bench::Stop(sim);
    std::error_code ec;
    fs::remove_all(root, ec);
    // The polling thread never ends: leave without running static destructors under it.
    std::fflush(stdout);
    std::_Exit(rc);
}

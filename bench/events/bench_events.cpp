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
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/BenchProcess.h"
#include "common/EventBench.h"
#include "controller/CtlrChannel.h"
#include "events/EventDefs.h"
#include "events/EventPolling.h"
#include "protocol/DeviceCodes.h"
#include "protocol/SysStatus.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCtlrs = 15;
constexpr const char* kWhat = "EVENTS";  // the serials: BENCH-EVENTS-00 to -14

// Queues `count` events (LUN changes) in unit 0 of `port`; false when the simulator refused.
bool Inject(const std::string& bin, const std::string& dev, int port, uint32_t count) {
    return bench::InjectEvents(bin, dev, port, "14000102", count);
}

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
    pid_t sim = bench::StartSim(bin, root, kWhat, kCtlrs);
    int rc = 1;
    do {
        if (!bench::WaitUntil([&] { return fs::exists(dev + "/sim.ctl"); }, 10, 1)) {
            std::fprintf(stderr, "bench_events: pellomar-sim did not start (%s/bin)\n",
                         bin.c_str());
            break;
        }
        if (!bench::SetUpEventPath(root, cwd, kWhat, kCtlrs)) break;

        // The idle sweep.
        std::vector<double> ms;
        for (int i = 0; i < 20 + sweeps; ++i) {
            auto t0 = Clock::now();
            SweepCtlrEvents();
            auto t1 = Clock::now();
            if (i >= 20) ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        }
        const double p50 = bench::Percentile(ms, 0.5), p90 = bench::Percentile(ms, 0.9),
                     p99 = bench::Percentile(ms, 0.99);
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
        // for its events' lines.
        bench::PollingRounds polling(cwd, bench::Serial(kWhat, 0));
        std::vector<double> rates;
        for (int r = 0; r < rounds; ++r) {
            bench::PollingRounds::Timed t;
            if (!polling.Round([&] { return Inject(bin, dev, 0, events); }, events, &t)) break;
            const double rate = t.events / t.seconds;
            rates.push_back(rate);
            std::printf("round %d: polling thread into the files: %.0f events/s\n", r + 1, rate);
        }
        if (rates.size() != static_cast<size_t>(rounds)) {
            std::fprintf(stderr, "bench_events: the polling thread did not record every event\n");
            break;
        }
        const double rate = bench::Percentile(rates, 0.5), ceiling = bench::Percentile(bare, 0.5);
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

// bench_relay: MiB/s of a package upload through the real agent into pellomar-sim, beside the
// raw channel rate of 3096-byte package calls into the same simulator, measured in the same run.
//
//   bench_relay [--mib N] [--rounds R]
//
// Starts pellomar-sim and a copy of the agent (headless) in a temporary folder; needs port 8922
// free and waits for the machine-wide agent test lock (/tmp/pellomar-agent-test.lock), so it
// never runs beside a test that starts an agent. Goal: upload rate >= 0.75 x raw rate.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
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
#include "common/GuiClient.h"
#include "controller/CtlrChannel.h"
#include "controller/CtlrTable.h"
#include "platform/Socket.h"
#include "protocol/ByteOrder.h"
#include "protocol/DeviceCodes.h"
#include "protocol/GuiFrame.h"
#include "protocol/SysStatus.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kSerial = "BENCH-RELAY-0001";
constexpr uint32_t kPkg = INBAND_PKG_SIZE;
// The command header of a command-148 package: code, count (h - 2), data length, last flag.
constexpr uint8_t kPkgHeadSize = 7;

using Clock = std::chrono::steady_clock;

// Raw rate: `count` package calls of 3096 data bytes (command 148, the last one flagged) straight
// through the channel into the simulator. MiB/s of data.
double RawRate(uint32_t count) {
    std::vector<uint8_t> pkg(kPkgHeadSize + kPkg, 0x3C);
    pkg[0] = INBAND_CMD_PKG_148;
    pkg[1] = kPkgHeadSize - 2;
    PutLe32(pkg.data() + 2, kPkg);
    auto t0 = Clock::now();
    for (uint32_t i = 0; i < count; ++i) {
        pkg[6] = i + 1 == count ? 1 : 0;
        if (CtlrDevIoControl(0, IOCTL_DTR_INBAND_COMMAND, static_cast<uint32_t>(pkg.size()),
                             pkg.data(), 0, nullptr, nullptr) != SYS_SUCCESS)
            return -1;
    }
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    return static_cast<double>(count) * kPkg / s / (1 << 20);
}

struct Upload {
    double total = -1;  // MiB/s from connect to reply
    double relay = -1;  // MiB/s from the last request byte handed to the socket to the reply
};

// One upload of `bytes` through the agent.
Upload UploadRate(const gui::Bytes& req, size_t bytes) {
    Upload u;
    gui::Bytes wire = gui::Frame(req);
    auto t0 = Clock::now();
    plat::Socket s(plat::SockTcpConnect("127.0.0.1", GUI_SERVER_PORT, 10000, nullptr, 0));
    if (!s.Valid()) return u;
    for (size_t off = 0; off < wire.size();) {
        int n = plat::SockSend(s.Get(), wire.data() + off,
                               static_cast<int>(std::min<size_t>(wire.size() - off, 1 << 20)));
        if (n <= 0) return u;
        off += static_cast<size_t>(n);
    }
    auto t1 = Clock::now();
    gui::Bytes reply;
    uint8_t buf[4096];
    for (;;) {
        int n = plat::SockRecvTimeout(s.Get(), buf, sizeof buf, 600000);
        if (n <= 0) break;
        reply.insert(reply.end(), buf, buf + n);
    }
    auto t2 = Clock::now();
    // The reply frame: its header, then the body with its status at byte 3.
    const size_t status = GUI_HEADER_SIZE + 3;
    if (reply.size() <= status || reply[0] != GUI_PHASE_HEADER || reply[status] != SYS_SUCCESS) {
        std::fprintf(stderr, "bench_relay: upload failed: %s\n", gui::Hex(reply).c_str());
        return u;
    }
    u.total =
        static_cast<double>(bytes) / std::chrono::duration<double>(t2 - t0).count() / (1 << 20);
    u.relay =
        static_cast<double>(bytes) / std::chrono::duration<double>(t2 - t1).count() / (1 << 20);
    return u;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    size_t mib = 64;
    int rounds = 5;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--mib" && i + 1 < argc)
            mib = static_cast<size_t>(std::atoi(argv[++i]));
        else if (a == "--rounds" && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: bench_relay [--mib N] [--rounds R]\n");
            return 2;
        }
    }
    if (mib < 1 || mib > 120 || rounds < 1 || rounds > 20) {
        std::fprintf(stderr, "bench_relay: --mib 1 to 120, --rounds 1 to 20\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string bin = PELLOMAR_BIN_DIR;

    int lockFd = open("/tmp/pellomar-agent-test.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    std::printf("waiting for the agent test lock...\n");
    if (lockFd < 0 || flock(lockFd, LOCK_EX) != 0) {
        std::perror("bench_relay: lock");
        return 1;
    }
    gui::Endpoint probe;
    probe.timeoutMs = 500;
    if (gui::Exchange(probe, gui::EchoRequest(REQ_ECHO_AGENT_ALIVE, "up?")).ok) {
        std::fprintf(stderr, "bench_relay: an agent already serves port 8922; end it first\n");
        return 1;
    }

    char tmpl[] = "/tmp/pellomar-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    const std::string root = tmpl;
    std::error_code ec;
    fs::copy_file(bin + "/pellomar", root + "/pellomar", ec);
    {
        FILE* f = std::fopen((root + "/sim.json").c_str(), "w");
        std::fprintf(f,
                     "{\"ports\": [{\"port\": 0, \"units\": [{\"unit\": 0, \"serial\": \"%s\"}]}],"
                     " \"scenario\": {\"enabled\": false}}\n",
                     kSerial);
        std::fclose(f);
    }
    pid_t sim = bench::Spawn(
        {bin + "/pellomar-sim", "--dir", root + "/dev", "--config", root + "/sim.json"}, "",
        root + "/sim.out", root + "/sim.err");
    pid_t agent = -1;
    int rc = 1;
    do {
        if (!bench::WaitUntil([&] { return fs::exists(root + "/dev/sim.ctl"); }, 10)) {
            std::fprintf(stderr, "bench_relay: pellomar-sim did not start\n");
            break;
        }
        agent = bench::Spawn({root + "/pellomar"}, root, "/dev/null", root + "/agent.err");
        if (!bench::WaitUntil(
                [&] {
                    return gui::Exchange(probe, gui::EchoRequest(REQ_ECHO_AGENT_ALIVE, "up?")).ok;
                },
                20)) {
            std::fprintf(stderr, "bench_relay: the agent did not start\n");
            break;
        }
        SetServerDir(root.c_str());
        {
            std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
            CtlrEntry& e = GetCtlrEntry(0);
            e.bState = CTLR_STATUS_ALIVE;
            std::snprintf(e.cDevName, sizeof e.cDevName, "\\\\.\\Scsi0: ");
            std::snprintf(e.cCtrlSN, sizeof e.cCtrlSN, "%s", kSerial);
        }
        const size_t bytes = mib << 20;
        // The request's command header: code, count, 4 bytes not used (the relay writes each
        // package's length and last flag).
        const gui::Bytes head = {INBAND_CMD_PKG_148, kPkgHeadSize - 2, 0, 0, 0, 0};
        gui::Bytes req = gui::ControllerRequest(REQ_INBAND_COMMAND, kSerial, head);
        const size_t dataAt = req.size();
        req.resize(dataAt + bytes);
        for (size_t i = 0; i < bytes; ++i)
            req[dataAt + i] = static_cast<uint8_t>(i * 131 + (i >> 12));
        const uint32_t rawCalls = static_cast<uint32_t>(std::min<size_t>(bytes / kPkg, 20000));
        std::vector<double> raw, up, relay, ratio;
        bool ok = true;
        for (int r = 0; r < rounds && ok; ++r) {
            double a = RawRate(rawCalls);
            Upload b = UploadRate(req, bytes);
            ok = a > 0 && b.total > 0;
            raw.push_back(a);
            up.push_back(b.total);
            relay.push_back(b.relay);
            ratio.push_back(b.total / a);
            std::printf(
                "round %d: raw channel %.1f MiB/s, upload through the agent %.1f MiB/s "
                "(relay phase %.1f MiB/s), ratio %.2f\n",
                r + 1, a, b.total, b.relay, b.total / a);
        }
        if (!ok) break;
        // Each round measures both rates back to back under the same load; the median of the
        // rounds' ratios is the figure to compare with the goal.
        double rm = Median(raw), um = Median(up), lm = Median(relay), q = Median(ratio);
        std::printf(
            "raw channel rate (3096-byte package calls into pellomar-sim): %.1f MiB/s (median)\n"
            "package upload through the agent (%zu MiB, command 148):     %.1f MiB/s (median)\n"
            "  of which the relay phase (request received, packages sent): %.1f MiB/s\n"
            "ratio upload / raw, median of the rounds: %.2f (goal >= 0.75): %s\n",
            rm, mib, um, lm, q, q >= 0.75 ? "met" : "NOT met");
        rc = 0;
    } while (false);
    bench::Stop(agent);
    bench::Stop(sim);
    fs::remove_all(root, ec);
    return rc;
}

// bench_soak: the mixed load of bench/soak/run against a running agent and the pellomar-sim that
// serves its controllers, with the agent's resident memory, open descriptors and threads sampled
// every 10 s.
//
//   bench_soak --seconds S --agent-pid PID --sim-dir DIR --serials SN,SN,... --upload FILE
//              [--mail-server HOST:PORT] [--sample-every S] [--settle-ms MS] [--only KINDS]
//
// --only runs the named loops alone (a comma-separated list of echo, inband, upload, config,
// evread, inject, rescan, idle, malformed), to find which load a growth follows.
//
// Every load loop is paced to its rate below, capped in count (1.5 x rate x seconds) and ends
// at the deadline; every connection goes to 127.0.0.1:8922 or to the simulator's control socket.
//
//   echo        2 loops x 100/s   types 4 and 5, 1 to 200 bytes; every 10th 8 KiB (heap block)
//   in-band     2 loops x  50/s   168 info, identify page 0, 202 echo, 178, a code without data
//   upload      1/s               the file as a package transfer (command 148), serial in turn
//   config      20/s              reads of the mail slots and items, the switch, the controllers'
//                                 serials and descriptions; every 10th a write (slot 10, item 6,
//                                 clearing slot 9)
//   event reads 10/s              take one queued event; every 20th the whole history
//   inject      100 events/s      named events not mailed, controllers in turn, through the
//                                 simulator's control socket (what `pellomar-sim ctl
//                                 inject-event` sends); every 5 s one mailed kind on top
//   rescan      every 30 s        the controller count (the agent rescans) and each serial
//   idle        up to 16 at once  connect, send nothing, hold 2 to 6 s, close
//   malformed   5/s               bad header, zero length, cut header, cut body, bad body marker,
//                                 too long, undefined type, close mid-body, half a header
//
// Sampling: at each 10 s mark the agent's figures are read once under load, then the load is
// paused (each loop finishes its request; idle clients are closed), the agent is given
// --settle-ms to finish what it started, and they are read again. Both are printed; the quiet
// reading is the one to compare across the run, since a leaked descriptor, thread or block stays
// when the load is gone, while the connection threads of the moment do not.
//
// Output: one "sample" line per reading, "count" lines per kind of load at the end, the first
// errors of each kind, and "agent ended" when the agent went away (exit status 3).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/GuiClient.h"
#include "platform/Socket.h"
#include "protocol/ConfigCodes.h"
#include "protocol/EventWire.h"
#include "protocol/SysStatus.h"
#include "sim/SimServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// ---- what each kind of load achieved ----

struct Tally {
    const char* name;
    std::atomic<uint64_t> ok{0};
    std::atomic<uint64_t> failed{0};
    std::mutex mu;
    std::vector<std::string> firstErrors;

    explicit Tally(const char* n) : name(n) {}
    void Ok() { ok.fetch_add(1); }
    void Fail(const std::string& why) {
        failed.fetch_add(1);
        std::lock_guard<std::mutex> lock(mu);
        if (firstErrors.size() < 5) firstErrors.push_back(why);
    }
};

Tally g_echo("echo"), g_inband("in-band"), g_upload("upload"), g_config("config"),
    g_evread("event-read"), g_inject("inject"), g_mailed("inject-mailed"), g_rescan("rescan"),
    g_idle("idle"), g_malformed("malformed");
Tally* const kTallies[] = {&g_echo,   &g_inband, &g_upload, &g_config, &g_evread,
                           &g_inject, &g_mailed, &g_rescan, &g_idle,   &g_malformed};

uint64_t RequestsSoFar() {
    uint64_t n = 0;
    for (Tally* t :
         {&g_echo, &g_inband, &g_upload, &g_config, &g_evread, &g_rescan, &g_idle, &g_malformed})
        n += t->ok.load() + t->failed.load();
    return n;
}

// ---- pausing the load for the quiet readings ----

class Gate {
  public:
    // The number of loops that park on a pause; set before the first pause.
    void SetWorkers(int n) {
        std::lock_guard<std::mutex> lock(mu_);
        workers_ = n;
    }

    // A loop that has ended (its count used up) no longer parks.
    void Leave() {
        std::lock_guard<std::mutex> lock(mu_);
        --workers_;
        parkedCv_.notify_all();
    }

    // Sleeps until `t`, the end, or a pause request, whichever is first.
    void Wait(Clock::time_point t) {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait_until(lock, t, [&] { return stop_ || paused_; });
    }
    // Parks while paused; false when the run is over.
    bool Checkpoint() {
        std::unique_lock<std::mutex> lock(mu_);
        if (paused_ && !stop_) {
            ++parked_;
            parkedCv_.notify_all();
            cv_.wait(lock, [&] { return stop_ || !paused_; });
            --parked_;
        }
        return !stop_;
    }
    bool PauseRequested() {
        std::lock_guard<std::mutex> lock(mu_);
        return paused_ || stop_;
    }
    // Asks every loop to park and waits (at most `limit`) until all have. True when all did.
    bool Pause(milliseconds limit) {
        std::unique_lock<std::mutex> lock(mu_);
        paused_ = true;
        cv_.notify_all();
        return parkedCv_.wait_for(lock, limit, [&] { return parked_ >= workers_; });
    }
    void Resume() {
        std::lock_guard<std::mutex> lock(mu_);
        paused_ = false;
        ++epoch_;
        cv_.notify_all();
    }
    void Stop() {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
        cv_.notify_all();
    }
    // Changes whenever the load resumes after a pause (loops then restart their pacing).
    uint64_t Epoch() {
        std::lock_guard<std::mutex> lock(mu_);
        return epoch_;
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_, parkedCv_;
    int workers_ = 0;
    int parked_ = 0;
    bool paused_ = false, stop_ = false;
    uint64_t epoch_ = 0;
};

// A loop run `perSecond` times a second until the end, at most `cap` times; `step` does one
// round (its argument counts from 0). Rounds missed while paused or behind are dropped, not
// made up in a burst.
void Paced(Gate& gate, double perSecond, uint64_t cap, const std::function<void(uint64_t)>& step) {
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / perSecond));
    auto next = Clock::now();
    uint64_t epoch = gate.Epoch();
    for (uint64_t i = 0; i < cap;) {
        gate.Wait(next);
        if (!gate.Checkpoint()) return;
        if (gate.Epoch() != epoch) {  // resumed after a pause: start the pacing afresh
            epoch = gate.Epoch();
            next = Clock::now();
        }
        if (Clock::now() < next) continue;
        step(i++);
        next += period;
        const auto now = Clock::now();
        if (next < now - std::chrono::seconds(1)) next = now;
    }
}

// ---- the agent's figures ----

struct Figures {
    long rssKib = -1;
    long fds = -1;
    long threads = -1;
};

Figures ReadFigures(pid_t pid) {
    Figures f;
    std::ifstream st("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(st, line)) {
        if (line.rfind("VmRSS:", 0) == 0) f.rssKib = std::atol(line.c_str() + 6);
        if (line.rfind("Threads:", 0) == 0) f.threads = std::atol(line.c_str() + 8);
    }
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d != nullptr) {
        f.fds = 0;
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++f.fds;
        closedir(d);
    }
    return f;
}

bool Alive(pid_t pid) {
    return kill(pid, 0) == 0 && ReadFigures(pid).rssKib > 0;
}

// ---- requests ----

gui::Endpoint Agent(int timeoutMs) {
    gui::Endpoint ep;
    ep.host = "127.0.0.1";
    ep.port = 8922;
    ep.timeoutMs = timeoutMs;
    return ep;
}

std::string Describe(const gui::Reply& r) {
    if (!r.ok) return r.error;
    std::string h = gui::Hex(r.body, 0, 24);
    return "reply " + h + (r.body.size() > 24 ? "..." : "") + " (" + std::to_string(r.body.size()) +
           " bytes)";
}

struct Options {
    int seconds = 0;
    pid_t agent = 0;
    std::string simDir;
    std::vector<std::string> serials;
    std::string uploadFile;
    std::string mailServer;
    int sampleEvery = 10;
    int settleMs = 1000;
    std::string only;  // empty: every loop

    bool Runs(const char* loop) const {
        if (only.empty()) return true;
        const std::string list = "," + only + ",";
        return list.find("," + std::string(loop) + ",") != std::string::npos;
    }
};

void EchoLoop(Gate& gate, const Options& o, unsigned seed) {
    std::mt19937 rng(seed);
    const double rate = 100;
    Paced(gate, rate, static_cast<uint64_t>(1.5 * rate * o.seconds), [&](uint64_t i) {
        size_t len = i % 10 == 9 ? 8192 : 1 + rng() % 200;
        std::string text(len, 'a');
        for (auto& c : text)
            c = static_cast<char>('a' + rng() % 26);
        gui::Bytes req = gui::EchoRequest(i % 2 ? 5 : 4, text);
        gui::Reply r = gui::Exchange(Agent(10000), req);
        if (r.ok && r.body == req)
            g_echo.Ok();
        else
            g_echo.Fail("echo of " + std::to_string(len) + " bytes: " + Describe(r));
    });
}

void InBandLoop(Gate& gate, const Options& o, unsigned seed) {
    std::mt19937 rng(seed);
    const double rate = 50;
    Paced(gate, rate, static_cast<uint64_t>(1.5 * rate * o.seconds), [&](uint64_t i) {
        const std::string& sn = o.serials[rng() % o.serials.size()];
        gui::Bytes cmd;
        size_t want = 0;  // the reply's length when it is known exactly
        switch (i % 5) {
            case 0:
                cmd = {0xA8, 0x00};  // 168: the controller's info bytes
                break;
            case 1:
                cmd = {0x01, 0x01, 0x00};  // identify, page 0
                want = 523;
                break;
            case 2: {
                cmd = {0xCA, 0x02};  // 202: echoed back
                size_t n = 8 + rng() % 200;
                while (cmd.size() < n)
                    cmd.push_back(static_cast<uint8_t>(rng()));
                want = 5 + 2 * cmd.size();
                break;
            }
            case 3:
                cmd = {0xB2, 0x00};  // 178: 512 data bytes
                break;
            default:
                cmd = {0x20, 0x00};  // a code without data
                break;
        }
        gui::Reply r = gui::Exchange(Agent(10000), gui::ControllerRequest(1, sn, cmd));
        bool good = r.ok && r.body.size() >= 5 && r.body[3] == SYS_SUCCESS &&
                    r.body[4] == SYS_SUCCESS && (want == 0 || r.body.size() == want);
        if (good && i % 5 == 1) good = std::memcmp(r.body.data() + 8, "KELDRAN", 7) == 0;
        if (good && i % 5 == 2) good = std::equal(cmd.begin(), cmd.end(), r.body.begin() + 5);
        if (good)
            g_inband.Ok();
        else
            g_inband.Fail("in-band " + gui::Hex(cmd, 0, 2) + " to " + sn + ": " + Describe(r));
    });
}

void UploadLoop(Gate& gate, const Options& o, const gui::Bytes& data) {
    const double rate = 1;
    Paced(gate, rate, static_cast<uint64_t>(1.5 * rate * o.seconds) + 2, [&](uint64_t i) {
        const std::string& sn = o.serials[i % o.serials.size()];
        gui::Bytes req = gui::ControllerRequest(1, sn, {148, 5, 0, 0, 0, 0});
        req.insert(req.end(), data.begin(), data.end());
        gui::Reply r = gui::Exchange(Agent(30000), req);
        if (r.ok && r.body.size() == 12 && r.body[3] == SYS_SUCCESS)
            g_upload.Ok();
        else
            g_upload.Fail("upload to " + sn + ": " + Describe(r));
    });
}

// One configuration request that must succeed; `check` looks at the reply's data.
void Config(const gui::Bytes& data, uint8_t code, const char* what,
            const std::function<bool(const gui::Bytes&)>& check = nullptr) {
    gui::Reply r = gui::Exchange(Agent(10000), gui::ConfigRequest(code, data));
    bool good = r.ok && r.body.size() >= 4 && r.body[2] == code && r.body[3] == SYS_SUCCESS &&
                (!check || check(r.body));
    if (good)
        g_config.Ok();
    else
        g_config.Fail(std::string(what) + ": " + Describe(r));
}

gui::Bytes Text(std::initializer_list<uint8_t> head, const std::string& text) {
    gui::Bytes b(head);
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

void ConfigLoop(Gate& gate, const Options& o) {
    const double rate = 20;
    const uint8_t ctlrs = static_cast<uint8_t>(o.serials.size());
    Paced(gate, rate, static_cast<uint64_t>(1.5 * rate * o.seconds), [&](uint64_t i) {
        const uint8_t k = static_cast<uint8_t>(i / 10 % 12);
        if (i % 10 == 9) {
            switch (i / 10 % 3) {
                case 0: {
                    std::string a = i / 30 % 2 ? "soak-b1@example.com" : "soak-b2@example.com";
                    Config(Text({static_cast<uint8_t>(a.size() + 1), 10}, a),
                           static_cast<uint8_t>(CFGCODE_UPDATE_MAIL_ADDR), "set slot 10");
                    break;
                }
                case 1: {
                    std::string t = "soak-note-" + std::to_string(i);
                    Config(Text({static_cast<uint8_t>(t.size())}, t),
                           static_cast<uint8_t>(CFGCODE_SET_MAILSRV_6), "set item 6");
                    break;
                }
                default:
                    Config({0, 9}, static_cast<uint8_t>(CFGCODE_CLEAR_MAIL_ADDR), "clear slot 9");
                    break;
            }
            return;
        }
        switch (i % 10) {
            case 0:
                Config({0, k}, static_cast<uint8_t>(CFGCODE_GET_MAIL_ADDR), "read a slot");
                break;
            case 1:
                Config(
                    {}, static_cast<uint8_t>(CFGCODE_GET_MAILSRV_1), "read item 1",
                    [&](const gui::Bytes& b) {
                        return o.mailServer.empty() ||
                               (b.size() >= 5 && b.size() >= 5u + b[4] &&
                                std::string(b.begin() + 5, b.begin() + 5 + b[4]) == o.mailServer);
                    });
                break;
            case 2:
                Config({}, static_cast<uint8_t>(CFGCODE_GET_MAILSRV_2), "read item 2");
                break;
            case 3:
                Config({}, static_cast<uint8_t>(CFGCODE_GET_MAILSRV_3), "read item 3");
                break;
            case 4:
                Config({}, static_cast<uint8_t>(CFGCODE_GET_MAILSRV_4), "read item 4");
                break;
            case 5:
                Config({}, static_cast<uint8_t>(CFGCODE_GET_MAILSRV_6), "read item 6");
                break;
            case 6:
                Config({}, static_cast<uint8_t>(CFGCODE_GET_MAIL_ENABLE), "read the switch",
                       [](const gui::Bytes& b) { return b.size() >= 5 && b[4] == 1; });
                break;
            case 7:
                Config({0, static_cast<uint8_t>(i / 10 % ctlrs)},
                       static_cast<uint8_t>(CFGCODE_GET_CTRL_SN), "read a serial");
                break;
            default:
                Config({0, static_cast<uint8_t>(i / 10 % ctlrs)},
                       static_cast<uint8_t>(CFGCODE_GET_CTRL_INFO), "read a description",
                       [](const gui::Bytes& b) {
                           return b.size() == CFG_CTRL_INFO_REPLY_SIZE && b[5] == 1;
                       });
                break;
        }
    });
}

void EventReadLoop(Gate& gate, const Options& o) {
    const double rate = 10;
    Paced(gate, rate, static_cast<uint64_t>(1.5 * rate * o.seconds), [&](uint64_t i) {
        const std::string& sn = o.serials[i % o.serials.size()];
        const bool list = i % 20 == 19;
        gui::Reply r = gui::Exchange(
            Agent(10000),
            gui::ControllerRequest(3, sn,
                                   {static_cast<uint8_t>(list ? EVENT_REQ_LIST : EVENT_REQ_ONE)}));
        bool good = r.ok && r.body.size() >= 5 && r.body[3] == SYS_SUCCESS;
        if (good && !list)
            good = r.body.size() == 37 &&
                   (r.body[4] == SYS_SUCCESS || r.body[4] == SYSFAIL_EVENT_EMPTY);
        if (good && list) good = r.body.size() >= 9 && (r.body.size() - 9) % 70 == 0;
        if (good)
            g_evread.Ok();
        else
            g_evread.Fail(std::string(list ? "history of " : "one event of ") + sn + ": " +
                          Describe(r));
    });
}

// One event injected through the simulator's control socket; its reply as JSON text.
bool Inject(const Options& o, size_t ctlr, const char* name, int a, int b, std::string* reply) {
    const sim::json r = sim::ControlRequest(
        o.simDir,
        {{"cmd", "inject-event"}, {"port", ctlr}, {"unit", 0}, {"name", name}, {"a", a}, {"b", b}});
    *reply = r.dump();
    return r.value("ok", false);
}

void InjectLoop(Gate& gate, const Options& o) {
    static const char* const kPlain[] = {"disk-online", "rebuild-start", "rebuild-done",
                                         "fan-ok",      "temp-normal",   "boot"};
    static const char* const kMailed[] = {"disk-offline", "degraded", "fan-fail", "temp-high"};
    // Ten events every 100 ms; the 50th tick adds a mailed one.
    const double rate = 10;
    const size_t n = o.serials.size();
    Paced(gate, rate, static_cast<uint64_t>(1.5 * rate * o.seconds), [&](uint64_t i) {
        std::string reply;
        for (uint64_t k = 0; k < 10; ++k) {
            const uint64_t e = i * 10 + k;
            const char* name = kPlain[e / n % 6];
            if (Inject(o, e % n, name, static_cast<int>(e % 4), static_cast<int>(e % 8), &reply))
                g_inject.Ok();
            else
                g_inject.Fail(std::string(name) + ": " + reply);
        }
        if (i % 50 == 49) {
            const uint64_t m = i / 50;
            const char* name = kMailed[m % 4];
            if (Inject(o, (m * 7) % n, name, static_cast<int>(m % 4), static_cast<int>(m % 8),
                       &reply))
                g_mailed.Ok();
            else
                g_mailed.Fail(std::string(name) + ": " + reply);
        }
    });
}

// The controller count (the agent rescans first) and every controller's serial number.
void RescanLoop(Gate& gate, const Options& o) {
    auto next = Clock::now() + std::chrono::seconds(30);
    for (int round = 0; round < o.seconds / 30 + 1; ++round) {
        gate.Wait(next);
        if (!gate.Checkpoint()) return;
        if (Clock::now() < next) {  // woken for a pause: sleep on
            --round;
            continue;
        }
        next += std::chrono::seconds(30);
        gui::Reply r = gui::Exchange(
            Agent(30000), gui::ConfigRequest(static_cast<uint8_t>(CFGCODE_GET_CTRL_COUNT), {}));
        if (!r.ok || r.body.size() < 5 || r.body[3] != SYS_SUCCESS ||
            r.body[4] != o.serials.size()) {
            g_rescan.Fail("controller count: " + Describe(r));
            continue;
        }
        std::vector<std::string> seen;
        for (uint8_t k = 0; k < o.serials.size(); ++k) {
            gui::Reply s = gui::Exchange(
                Agent(10000),
                gui::ConfigRequest(static_cast<uint8_t>(CFGCODE_GET_CTRL_SN), {0, k}));
            if (s.ok && s.body.size() >= 23 && s.body[3] == SYS_SUCCESS)
                seen.emplace_back(reinterpret_cast<const char*>(s.body.data() + 4),
                                  strnlen(reinterpret_cast<const char*>(s.body.data() + 4), 19));
        }
        std::vector<std::string> want = o.serials;
        std::sort(seen.begin(), seen.end());
        std::sort(want.begin(), want.end());
        if (seen == want)
            g_rescan.Ok();
        else
            g_rescan.Fail("after the rescan " + std::to_string(seen.size()) +
                          " controllers answer with the expected serials");
    }
}

// Connects to the agent, or returns an invalid socket.
plat::Socket Connect() {
    char err[128] = {};
    return plat::Socket(plat::SockTcpConnect("127.0.0.1", 8922, 5000, err, sizeof err));
}

// True when the agent has closed `s` (or reset it) without our asking.
bool ClosedByPeer(const plat::Socket& s) {
    uint8_t b;
    ssize_t n = recv(static_cast<int>(s.Get()), &b, 1, MSG_DONTWAIT | MSG_PEEK);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

void IdleLoop(Gate& gate, const Options& o, unsigned seed) {
    std::mt19937 rng(seed);
    struct Held {
        plat::Socket sock;
        Clock::time_point until;
    };
    std::vector<Held> held;
    auto closeDue = [&](bool all) {
        const auto now = Clock::now();
        for (auto it = held.begin(); it != held.end();) {
            if (all || it->until <= now) {
                if (ClosedByPeer(it->sock))
                    g_idle.Fail("the agent closed an idle connection");
                else
                    g_idle.Ok();
                it = held.erase(it);
            } else {
                ++it;
            }
        }
    };
    const double rate = 4;  // new idle connections per second, at most 16 held
    uint64_t epoch = gate.Epoch();
    auto next = Clock::now();
    const uint64_t cap = static_cast<uint64_t>(1.5 * rate * o.seconds);
    for (uint64_t i = 0; i < cap;) {
        Clock::time_point wake = next;
        for (const Held& h : held)
            wake = std::min(wake, h.until);
        gate.Wait(wake);
        if (gate.PauseRequested()) closeDue(true);  // nothing held while the figures are read
        if (!gate.Checkpoint()) break;
        if (gate.Epoch() != epoch) {
            epoch = gate.Epoch();
            next = Clock::now();
        }
        closeDue(false);
        if (Clock::now() >= next) {
            next += milliseconds(static_cast<int>(1000 / rate));
            if (held.size() < 16) {
                plat::Socket s = Connect();
                ++i;
                if (!s.Valid()) {
                    g_idle.Fail("connect failed");
                    continue;
                }
                held.push_back({std::move(s), Clock::now() + milliseconds(2000 + rng() % 4000)});
            }
        }
    }
    closeDue(true);
}

// What one malformed client does; its name for the error list.
struct Malformed {
    const char* name;
    gui::Bytes wire;
    bool endAfterSend;  // shut our side after sending (the agent then sees the end of stream)
};

std::vector<Malformed> MalformedKinds() {
    auto header = [](uint32_t n) {
        return gui::Bytes{0x01, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                          static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)};
    };
    auto cat = [](gui::Bytes a, const gui::Bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    std::string http = "GET / HTTP/1.0\r\n\r\n";
    gui::Bytes bigHead = header(1u << 20);
    gui::Bytes part(100 * 1024, 0x5A);
    part[0] = 0x02;
    return {
        {"garbage header", gui::Bytes(http.begin(), http.end()), false},
        {"zero length", header(0), false},
        {"cut header", {0x01, 0x20}, true},
        {"cut body", cat(header(100), gui::Bytes(40, 0x02)), true},
        {"bad body marker", cat(header(5), {0x03, 0x04, 0x41, 0x42, 0x43}), false},
        {"too long", header(0xFFFFFFF0u), false},
        {"undefined type", gui::Frame({0x02, 0x09, 0x41, 0x42}), false},
        {"close mid-body", cat(bigHead, part), true},
    };
}

void MalformedLoop(Gate& gate, const Options& o) {
    const std::vector<Malformed> kinds = MalformedKinds();
    const double rate = 5;
    Paced(gate, rate, static_cast<uint64_t>(1.5 * rate * o.seconds), [&](uint64_t i) {
        const size_t k = i % (kinds.size() + 1);
        if (k == kinds.size()) {
            // Half a header, then gone at once.
            plat::Socket s = Connect();
            if (!s.Valid()) {
                g_malformed.Fail("half a header: connect failed");
                return;
            }
            const uint8_t half[] = {0x01, 0x05, 0x00};
            if (plat::SockSend(s.Get(), half, sizeof half) == sizeof half)
                g_malformed.Ok();
            else
                g_malformed.Fail("half a header: send failed");
            return;
        }
        const Malformed& m = kinds[k];
        gui::Reply r = gui::ExchangeRaw(Agent(5000), m.wire, m.endAfterSend);
        // The agent answers none of them: it closes (a reset when our bytes are still unread).
        if ((r.ok || r.error == "connection reset") && r.body.empty())
            g_malformed.Ok();
        else
            g_malformed.Fail(std::string(m.name) + ": " + Describe(r));
    });
}

// ---- the run ----

bool ParseArgs(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) return false;
        std::string v = argv[++i];
        if (a == "--seconds")
            o->seconds = std::atoi(v.c_str());
        else if (a == "--agent-pid")
            o->agent = static_cast<pid_t>(std::atoi(v.c_str()));
        else if (a == "--sim-dir")
            o->simDir = v;
        else if (a == "--upload")
            o->uploadFile = v;
        else if (a == "--mail-server")
            o->mailServer = v;
        else if (a == "--sample-every")
            o->sampleEvery = std::atoi(v.c_str());
        else if (a == "--settle-ms")
            o->settleMs = std::atoi(v.c_str());
        else if (a == "--only")
            o->only = v;
        else if (a == "--serials") {
            size_t from = 0;
            for (;;) {
                size_t comma = v.find(',', from);
                o->serials.push_back(v.substr(from, comma - from));
                if (comma == std::string::npos) break;
                from = comma + 1;
            }
        } else {
            return false;
        }
    }
    return o->seconds >= 10 && o->seconds <= 3 * 3600 && o->agent > 0 && !o->simDir.empty() &&
           !o->serials.empty() && o->serials.size() <= 15 && !o->uploadFile.empty() &&
           o->sampleEvery >= 1 && o->settleMs >= 0 && o->settleMs <= 10000;
}

void PrintSample(long t, const Figures& quiet, const Figures& load) {
    std::printf(
        "sample t=%lds rss_kib=%ld fds=%ld threads=%ld   under load: rss_kib=%ld fds=%ld "
        "threads=%ld requests=%llu\n",
        t, quiet.rssKib, quiet.fds, quiet.threads, load.rssKib, load.fds, load.threads,
        static_cast<unsigned long long>(RequestsSoFar()));
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseArgs(argc, argv, &o)) {
        std::fprintf(stderr,
                     "usage: bench_soak --seconds S --agent-pid PID --sim-dir DIR --serials "
                     "SN,SN,... --upload FILE [--mail-server HOST:PORT] [--sample-every S] "
                     "[--settle-ms MS]\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    std::ifstream in(o.uploadFile, std::ios::binary);
    gui::Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() < 4096) {
        std::fprintf(stderr, "bench_soak: %s is missing or too short\n", o.uploadFile.c_str());
        return 2;
    }
    if (!Alive(o.agent)) {
        std::fprintf(stderr, "bench_soak: no agent with pid %d\n", static_cast<int>(o.agent));
        return 2;
    }

    Gate gate;
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(o.seconds);
    PrintSample(0, ReadFigures(o.agent), ReadFigures(o.agent));

    const std::vector<std::pair<const char*, std::function<void()>>> plan = {
        {"echo", [&] { EchoLoop(gate, o, 1u); }},
        {"echo", [&] { EchoLoop(gate, o, 2u); }},
        {"inband", [&] { InBandLoop(gate, o, 3u); }},
        {"inband", [&] { InBandLoop(gate, o, 4u); }},
        {"upload", [&] { UploadLoop(gate, o, data); }},
        {"config", [&] { ConfigLoop(gate, o); }},
        {"evread", [&] { EventReadLoop(gate, o); }},
        {"inject", [&] { InjectLoop(gate, o); }},
        {"rescan", [&] { RescanLoop(gate, o); }},
        {"idle", [&] { IdleLoop(gate, o, 5u); }},
        {"malformed", [&] { MalformedLoop(gate, o); }},
    };
    int workers = 0;
    for (const auto& [name, fn] : plan)
        workers += o.Runs(name) ? 1 : 0;
    gate.SetWorkers(workers);
    std::vector<std::thread> loops;
    for (const auto& [name, fn] : plan)
        if (o.Runs(name))
            loops.emplace_back([&gate, &fn = fn] {
                fn();
                gate.Leave();
            });

    bool agentGone = false;
    double paused = 0;  // seconds the load stood still for the quiet readings
    for (int k = 1;; ++k) {
        const auto mark = start + std::chrono::seconds(o.sampleEvery * k);
        const bool last = mark >= end;
        std::this_thread::sleep_until(std::min(mark, end));
        const long t =
            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
        if (!Alive(o.agent)) {
            agentGone = true;
            std::printf("agent ended (pid %d) before t=%lds\n", static_cast<int>(o.agent), t);
            break;
        }
        Figures load = ReadFigures(o.agent);
        const auto p0 = Clock::now();
        if (last) {
            gate.Stop();
            for (auto& th : loops)
                th.join();
            loops.clear();
        } else if (!gate.Pause(milliseconds(60000))) {
            std::printf("note: not every load loop paused within 60 s at t=%lds\n", t);
        }
        std::this_thread::sleep_for(milliseconds(o.settleMs));
        Figures quiet = ReadFigures(o.agent);
        PrintSample(t, quiet, load);
        if (last) break;
        paused += std::chrono::duration<double>(Clock::now() - p0).count();
        gate.Resume();
    }
    gate.Stop();
    for (auto& th : loops)
        th.join();

    const double total = std::chrono::duration<double>(Clock::now() - start).count();
    const double loaded = std::max(1.0, total - paused);
    std::printf("load ran %.0f s (%.0f s paused for the quiet readings)\n", loaded, paused);
    for (Tally* t : kTallies) {
        std::printf("count %-14s ok=%-8llu failed=%-6llu rate=%.1f/s\n", t->name,
                    static_cast<unsigned long long>(t->ok.load()),
                    static_cast<unsigned long long>(t->failed.load()),
                    static_cast<double>(t->ok.load() + t->failed.load()) / loaded);
    }
    for (Tally* t : kTallies)
        for (const std::string& e : t->firstErrors)
            std::printf("error %s: %s\n", t->name, e.c_str());
    return agentGone ? 3 : 0;
}

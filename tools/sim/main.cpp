// pellomar-sim: a stand-in for the SCSI port driver and the RAID controllers behind it.
//
//   pellomar-sim --dir DIR [--config FILE] [--no-scenario] [--verbose]
//   pellomar-sim ctl --dir DIR COMMAND [ARGS]
//
// See doc/simulator.md.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SimDevice.h"
#include "SimServer.h"

namespace {

using sim::json;

const char* kUsage =
    "usage: pellomar-sim --dir DIR [--config FILE] [--no-scenario] [--verbose]\n"
    "       pellomar-sim ctl --dir DIR COMMAND [ARGS]\n"
    "\n"
    "Serves the controller device sockets DIR/ScsiN of the configured ports and the control\n"
    "socket DIR/sim.ctl. Control commands:\n"
    "  status\n"
    "  add-port PORT | remove-port PORT\n"
    "  add-unit PORT UNIT [--serial S] [--fallback-serial S] [--signature S] [--model S]\n"
    "           [--firmware S] [--vendor-type N] [--product-type N] [--page20 N]\n"
    "           [--page20-fails] [--json OBJECT]\n"
    "  remove-unit PORT UNIT\n"
    "  inject-event PORT UNIT (HEX | --name NAME [--a N] [--b N]) [--count N]\n"
    "  clear-events PORT UNIT\n"
    "  fault PORT KIND [--value V] [--unit U] [--cmd C] [--match any|inband|event] [--count N]\n"
    "        KIND: return-code, ioctl-fail, delay, close-no-reply, close-mid-reply, refuse\n"
    "  fault-clear [PORT] [--id ID]\n"
    "  scenario on|off [--min MS] [--max MS]\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

bool MakeDirs(const std::string& dir) {
    std::string cur;
    for (size_t i = 0; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '/') {
            if (!cur.empty() && mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) return false;
        }
        if (i < dir.size()) cur += dir[i];
    }
    struct stat st {};
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A number as the firmware fields take it: decimal or 0x-hex.
bool ParseNumber(const std::string& s, long* out) {
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 0);
    if (s.empty() || *end != '\0') return false;
    *out = v;
    return true;
}

// Builds the control request of `ctl` from its words. False (with a message) on bad words.
bool BuildRequest(const std::vector<std::string>& w, json* req, std::string* err) {
    if (w.empty()) {
        *err = "no command";
        return false;
    }
    const std::string& cmd = w[0];
    json r = {{"cmd", cmd}};
    std::vector<std::string> pos;
    json fields = json::object();
    auto need = [&](size_t& i) -> const std::string* {
        if (i + 1 >= w.size()) {
            *err = w[i] + " needs a value";
            return nullptr;
        }
        return &w[++i];
    };
    auto number = [&](const std::string& key, const std::string& text, json& into) {
        long v = 0;
        if (!ParseNumber(text, &v)) {
            *err = "'" + text + "' is not a number";
            return false;
        }
        into[key] = v;
        return true;
    };
    for (size_t i = 1; i < w.size(); ++i) {
        const std::string& a = w[i];
        if (a.rfind("--", 0) != 0) {
            pos.push_back(a);
            continue;
        }
        const std::string opt = a.substr(2);
        if (opt == "page20-fails") {
            fields["page20_fails"] = true;
            continue;
        }
        const std::string* v = need(i);
        if (v == nullptr) return false;
        if (opt == "serial" || opt == "fallback-serial" || opt == "signature" || opt == "model" ||
            opt == "firmware") {
            std::string key = opt;
            std::replace(key.begin(), key.end(), '-', '_');
            fields[key] = *v;
        } else if (opt == "vendor-type" || opt == "product-type" || opt == "page20") {
            std::string key = opt;
            std::replace(key.begin(), key.end(), '-', '_');
            if (!number(key, *v, fields)) return false;
        } else if (opt == "json") {
            json extra = json::parse(*v, nullptr, false);
            if (!extra.is_object()) {
                *err = "--json needs a JSON object";
                return false;
            }
            fields.update(extra);
        } else if (opt == "name") {
            r["name"] = *v;
        } else if (opt == "value" || opt == "unit" || opt == "count" || opt == "id" || opt == "a" ||
                   opt == "b") {
            if (!number(opt, *v, r)) return false;
        } else if (opt == "cmd") {
            if (!number("inband_cmd", *v, r)) return false;
        } else if (opt == "match") {
            r["match"] = *v;
        } else if (opt == "min" || opt == "max") {
            if (!number(opt + "_interval_ms", *v, r)) return false;
        } else {
            *err = "unknown option " + a;
            return false;
        }
    }
    auto posNumber = [&](size_t idx, const char* key) {
        if (idx >= pos.size()) {
            *err = std::string(key) + " is missing";
            return false;
        }
        return number(key, pos[idx], r);
    };
    size_t used = 0;
    if (cmd == "status") {
    } else if (cmd == "add-port" || cmd == "remove-port") {
        if (!posNumber(0, "port")) return false;
        used = 1;
    } else if (cmd == "add-unit" || cmd == "remove-unit" || cmd == "clear-events") {
        if (!posNumber(0, "port") || !posNumber(1, "unit")) return false;
        used = 2;
        if (cmd == "add-unit") r["fields"] = fields;
    } else if (cmd == "inject-event") {
        if (!posNumber(0, "port") || !posNumber(1, "unit")) return false;
        used = 2;
        if (pos.size() > 2) {
            r["hex"] = pos[2];
            used = 3;
        }
    } else if (cmd == "fault") {
        if (!posNumber(0, "port")) return false;
        if (pos.size() < 2) {
            *err = "the fault kind is missing";
            return false;
        }
        r["kind"] = pos[1];
        used = 2;
    } else if (cmd == "fault-clear") {
        if (!pos.empty()) {
            if (!posNumber(0, "port")) return false;
            used = 1;
        }
    } else if (cmd == "scenario") {
        if (!pos.empty()) {
            if (pos[0] != "on" && pos[0] != "off") {
                *err = "scenario on or off";
                return false;
            }
            r["enabled"] = pos[0] == "on";
            used = 1;
        }
    } else {
        *err = "unknown command '" + cmd + "'";
        return false;
    }
    if (pos.size() > used) {
        *err = "unexpected argument '" + pos[used] + "'";
        return false;
    }
    if (cmd != "add-unit" && !fields.empty()) {
        *err = "unit fields belong to add-unit";
        return false;
    }
    *req = r;
    return true;
}

int RunCtl(int argc, char** argv) {
    std::string dir;
    std::vector<std::string> words;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--dir" && i + 1 < argc && dir.empty()) {
            dir = argv[++i];
            continue;
        }
        words.push_back(a);
    }
    if (dir.empty()) return Usage();
    json req;
    std::string err;
    if (!BuildRequest(words, &req, &err)) {
        std::fprintf(stderr, "pellomar-sim ctl: %s\n", err.c_str());
        return Usage();
    }
    json reply = sim::ControlRequest(dir, req);
    bool ok = reply.value("ok", false);
    if (!ok) {
        std::fprintf(stderr, "pellomar-sim ctl: %s\n", reply.value("error", "failed").c_str());
        return 1;
    }
    std::printf("%s\n", req["cmd"] == "status" ? reply.dump(2).c_str() : reply.dump().c_str());
    return 0;
}

void ScenarioThread(sim::SimDevice* dev) {
    for (;;) {
        if (!dev->ScenarioEnabled()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            continue;
        }
        uint32_t ms = dev->ScenarioNextDelayMs();
        // Sleep in short steps so that switching the scenario off takes effect soon.
        for (uint32_t slept = 0; slept < ms && dev->ScenarioEnabled(); slept += 100)
            std::this_thread::sleep_for(
                std::chrono::milliseconds(std::min<uint32_t>(100, ms - slept)));
        if (dev->ScenarioEnabled()) dev->ScenarioStep();
    }
}

int RunServer(int argc, char** argv) {
    std::string dir, config;
    bool verbose = false, noScenario = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--dir" || a == "--config") && i + 1 < argc) {
            (a == "--dir" ? dir : config) = argv[++i];
        } else if (a == "--verbose") {
            verbose = true;
        } else if (a == "--no-scenario") {
            noScenario = true;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            return Usage();
        }
    }
    if (dir.empty()) return Usage();
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();

    // Signals reach only the main thread's sigwait; every thread started later inherits this.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!MakeDirs(dir)) {
        std::fprintf(stderr, "pellomar-sim: cannot create %s: %s\n", dir.c_str(),
                     std::strerror(errno));
        return 1;
    }
    if (sim::ControlRequest(dir, json{{"cmd", "status"}}, 1000).value("ok", false)) {
        std::fprintf(stderr, "pellomar-sim: another pellomar-sim serves %s\n", dir.c_str());
        return 1;
    }
    json cfg = json::object();
    if (!config.empty()) {
        std::ifstream in(config);
        if (!in) {
            std::fprintf(stderr, "pellomar-sim: cannot read %s\n", config.c_str());
            return 2;
        }
        cfg = json::parse(in, nullptr, false, true);
        if (cfg.is_discarded()) {
            std::fprintf(stderr, "pellomar-sim: %s is not valid JSON\n", config.c_str());
            return 2;
        }
    }
    // Both live until the process ends (its threads use them); on a start-up failure they go.
    auto devOwner = std::make_unique<sim::SimDevice>();
    auto srvOwner = std::make_unique<sim::SimServer>(*devOwner, dir, verbose);
    sim::SimDevice* dev = devOwner.get();
    sim::SimServer* srv = srvOwner.get();
    dev->SetPortListener(
        [srv](int port, bool exists, bool refusing) { srv->PortChanged(port, exists, refusing); });
    std::string err;
    if (!dev->LoadConfig(cfg, &err)) {
        std::fprintf(stderr, "pellomar-sim: %s: %s\n", config.c_str(), err.c_str());
        srv->RemoveSockets();
        return 2;
    }
    if (noScenario) dev->Control(json{{"cmd", "scenario"}, {"enabled", false}});
    // The control socket comes last: once it answers, every configured port is served.
    if (!srv->StartControl(&err)) {
        std::fprintf(stderr, "pellomar-sim: %s\n", err.c_str());
        srv->RemoveSockets();
        // Port workers run already and use both: end without tearing them down.
        std::fflush(stderr);
        _exit(1);
    }
    devOwner.release();
    srvOwner.release();
    std::thread(ScenarioThread, dev).detach();
    std::fprintf(stderr, "pellomar-sim: %zu port(s) in %s, control socket %s\n",
                 dev->PortNumbers().size(), dir.c_str(),
                 sim::SocketPath(dir, sim::kControlSocketName).c_str());
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) == 0) break;
    }
    srv->RemoveSockets();
    std::fflush(stderr);
    _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "ctl") == 0) return RunCtl(argc, argv);
    return RunServer(argc, argv);
}

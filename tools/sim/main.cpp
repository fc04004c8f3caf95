// pellomar-sim: a stand-in for the SCSI port driver and the RAID controllers behind it.
//
//   pellomar-sim --dir DIR [--config FILE] [--no-scenario] [--verbose]
//   pellomar-sim ctl --dir DIR COMMAND [ARGS]
//
// See doc/simulator.md.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// One word of a control command that is not an option.
struct CtlWord {
    enum Kind { Number, Text, OnOff } kind;
    const char* key;  // the request field it fills
    bool optional;
    // Text: the message when it is missing (Number: "<key> is missing"); OnOff: when it is
    // neither on nor off.
    const char* error = nullptr;
};

struct CtlCommand {
    const char* name;
    const char* usage;  // its lines of the usage text; nullptr when another command's lines show it
    std::vector<CtlWord> words;
    bool unitFields = false;  // takes the unit field options
};

const std::vector<CtlCommand>& CtlCommands() {
    static const CtlWord port{CtlWord::Number, "port", false};
    static const CtlWord unit{CtlWord::Number, "unit", false};
    static const std::vector<CtlCommand> commands = {
        {"status", "  status\n", {}},
        {"add-port", "  add-port PORT | remove-port PORT\n", {port}},
        {"remove-port", nullptr, {port}},
        {"add-unit",
         "  add-unit PORT UNIT [--serial S] [--fallback-serial S] [--signature S] [--model S]\n"
         "           [--firmware S] [--vendor-type N] [--product-type N] [--page20 N]\n"
         "           [--page20-fails] [--json OBJECT]\n",
         {port, unit},
         true},
        {"remove-unit", "  remove-unit PORT UNIT\n", {port, unit}},
        {"inject-event",
         "  inject-event PORT UNIT (HEX | --name NAME [--a N] [--b N]) [--count N]\n",
         {port, unit, {CtlWord::Text, "hex", true}}},
        {"clear-events", "  clear-events PORT UNIT\n", {port, unit}},
        {"fault",
         "  fault PORT KIND [--value V] [--unit U] [--cmd C] "
         "[--match any|inband|event] [--count N]\n"
         "        KIND: return-code, ioctl-fail, delay, close-no-reply, close-mid-reply, refuse\n",
         {port, {CtlWord::Text, "kind", false, "the fault kind is missing"}}},
        {"fault-clear", "  fault-clear [PORT] [--id ID]\n", {{CtlWord::Number, "port", true}}},
        {"scenario",
         "  scenario on|off [--min MS] [--max MS]\n",
         {{CtlWord::OnOff, "enabled", true, "scenario on or off"}}},
    };
    return commands;
}

const CtlCommand* FindCtlCommand(const std::string& name) {
    for (const CtlCommand& c : CtlCommands())
        if (name == c.name) return &c;
    return nullptr;
}

// An option of the control commands and the request field it fills.
struct CtlOption {
    const char* name;  // without the leading "--"
    enum Kind {
        UnitText,    // a unit field
        UnitNumber,  // a unit field, a number
        UnitFlag,    // a unit field set to true; takes no value
        UnitJson,    // any unit fields, as a JSON object
        Text,
        Number
    } kind;
    const char* key;
};

constexpr CtlOption kCtlOptions[] = {
    {"serial", CtlOption::UnitText, "serial"},
    {"fallback-serial", CtlOption::UnitText, "fallback_serial"},
    {"signature", CtlOption::UnitText, "signature"},
    {"model", CtlOption::UnitText, "model"},
    {"firmware", CtlOption::UnitText, "firmware"},
    {"vendor-type", CtlOption::UnitNumber, "vendor_type"},
    {"product-type", CtlOption::UnitNumber, "product_type"},
    {"page20", CtlOption::UnitNumber, "page20"},
    {"page20-fails", CtlOption::UnitFlag, "page20_fails"},
    {"json", CtlOption::UnitJson, nullptr},
    {"name", CtlOption::Text, "name"},
    {"match", CtlOption::Text, "match"},
    {"value", CtlOption::Number, "value"},
    {"unit", CtlOption::Number, "unit"},
    {"count", CtlOption::Number, "count"},
    {"id", CtlOption::Number, "id"},
    {"a", CtlOption::Number, "a"},
    {"b", CtlOption::Number, "b"},
    {"cmd", CtlOption::Number, "inband_cmd"},
    {"min", CtlOption::Number, "min_interval_ms"},
    {"max", CtlOption::Number, "max_interval_ms"},
};

const CtlOption* FindCtlOption(const std::string& name) {
    for (const CtlOption& o : kCtlOptions)
        if (name == o.name) return &o;
    return nullptr;
}

constexpr char kUsageHead[] =
    "usage: pellomar-sim --dir DIR [--config FILE] [--no-scenario] [--verbose]\n"
    "       pellomar-sim ctl --dir DIR COMMAND [ARGS]\n"
    "       pellomar-sim --help | --version\n"
    "\n"
    "Serves the controller device sockets DIR/ScsiN of the configured ports and the control\n"
    "socket DIR/sim.ctl. Control commands:\n";

// The usage text: the head, then each control command's lines.
const std::string& UsageText() {
    static const std::string text = [] {
        std::string t = kUsageHead;
        for (const CtlCommand& c : CtlCommands())
            if (c.usage != nullptr) t += c.usage;
        return t;
    }();
    return text;
}

int Usage() {
    std::fputs(UsageText().c_str(), stderr);
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
    json r = {{"cmd", w[0]}};
    std::vector<std::string> pos;
    json fields = json::object();
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
        const CtlOption* o = FindCtlOption(a.substr(2));
        if (o != nullptr && o->kind == CtlOption::UnitFlag) {
            fields[o->key] = true;
            continue;
        }
        if (i + 1 >= w.size()) {
            *err = a + " needs a value";
            return false;
        }
        const std::string& v = w[++i];
        if (o == nullptr) {
            *err = "unknown option " + a;
            return false;
        }
        switch (o->kind) {
            case CtlOption::UnitText:
                fields[o->key] = v;
                break;
            case CtlOption::UnitNumber:
                if (!number(o->key, v, fields)) return false;
                break;
            case CtlOption::UnitJson: {
                json extra = json::parse(v, nullptr, false);
                if (!extra.is_object()) {
                    *err = "--json needs a JSON object";
                    return false;
                }
                fields.update(extra);
                break;
            }
            case CtlOption::Text:
                r[o->key] = v;
                break;
            case CtlOption::Number:
                if (!number(o->key, v, r)) return false;
                break;
            case CtlOption::UnitFlag:  // taken above, without a value
                break;
        }
    }
    const CtlCommand* cmd = FindCtlCommand(w[0]);
    if (cmd == nullptr) {
        *err = "unknown command '" + w[0] + "'";
        return false;
    }
    size_t used = 0;
    for (const CtlWord& word : cmd->words) {
        if (used == pos.size()) {
            if (word.optional) break;
            *err =
                word.kind == CtlWord::Number ? std::string(word.key) + " is missing" : word.error;
            return false;
        }
        const std::string& text = pos[used++];
        switch (word.kind) {
            case CtlWord::Number:
                if (!number(word.key, text, r)) return false;
                break;
            case CtlWord::Text:
                r[word.key] = text;
                break;
            case CtlWord::OnOff:
                if (text != "on" && text != "off") {
                    *err = word.error;
                    return false;
                }
                r[word.key] = text == "on";
                break;
        }
    }
    if (pos.size() > used) {
        *err = "unexpected argument '" + pos[used] + "'";
        return false;
    }
    if (cmd->unitFields) {
        r["fields"] = fields;
    } else if (!fields.empty()) {
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
            std::fputs(UsageText().c_str(), stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("pellomar-sim %s\n", PELLOMAR_VERSION);
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

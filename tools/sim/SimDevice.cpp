#include "SimDevice.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/Crc32.h"
#include "common/HexText.h"
#include "protocol/ByteOrder.h"

namespace sim {

namespace {

void SetReturnCode(uint8_t* block, uint32_t rc) {
    PutLe32(block + kOffReturnCode, rc);
}
// A refusal: the in-band error code in the upper 16 bits, 1 in the lower.
uint32_t ErrorReturnCode(uint16_t code) {
    return static_cast<uint32_t>(code) << 16 | 1u;
}

// Copies a text field into the identify block: at most `max` bytes, NUL-padded.
void PutText(std::array<uint8_t, 512>& ident, size_t off, size_t max, const std::string& s) {
    std::memset(ident.data() + off, 0, max);
    std::memcpy(ident.data() + off, s.data(), std::min(max, s.size()));
}

// Reads an integer field of a JSON object, with bounds; false with a reason when it is bad.
bool GetInt(const json& o, const char* key, long lo, long hi, long* out, std::string* err) {
    if (!o.contains(key)) return true;
    const json& v = o.at(key);
    long x = 0;
    if (v.is_number_integer()) {
        x = v.get<long>();
    } else if (v.is_string()) {
        const std::string s = v.get<std::string>();
        char* end = nullptr;
        x = std::strtol(s.c_str(), &end, 0);
        if (s.empty() || *end != '\0') {
            *err = std::string("'") + key + "' is not a number";
            return false;
        }
    } else {
        *err = std::string("'") + key + "' is not a number";
        return false;
    }
    if (x < lo || x > hi) {
        *err = std::string("'") + key + "' out of range";
        return false;
    }
    *out = x;
    return true;
}

bool GetString(const json& o, const char* key, size_t max, std::string* out, std::string* err) {
    if (!o.contains(key)) return true;
    if (!o.at(key).is_string()) {
        *err = std::string("'") + key + "' is not a text";
        return false;
    }
    *out = o.at(key).get<std::string>();
    if (out->size() > max) {
        *err = std::string("'") + key + "' is longer than " + std::to_string(max);
        return false;
    }
    return true;
}

constexpr size_t kEventBytes = std::tuple_size_v<Event>;

bool IsPackageCommand(uint8_t code) {
    return code == INBAND_CMD_PKG_148 || code == INBAND_CMD_PKG_149 || code == INBAND_CMD_PKG_150;
}

Event MakeEvent(std::initializer_list<uint8_t> bytes) {
    Event e{};
    size_t i = 0;
    for (uint8_t b : bytes)
        e[i++] = b;
    return e;
}

// The events the scenario and `inject-event --name` produce. `a` and `b` are the story's
// parameters (array or disk number, fan number).
bool NamedEvent(const std::string& name, uint8_t a, uint8_t b, Event* e) {
    if (name == "disk-offline")
        *e = MakeEvent({3, 0, a, b, 1, 0, 0, 0});
    else if (name == "disk-online")
        *e = MakeEvent({3, 0, a, b, 0, 0, 0, 0});
    else if (name == "degraded")
        *e = MakeEvent({21, 0, a});
    else if (name == "rebuild-start")
        *e = MakeEvent({1, 0, 0x9D, 4});
    else if (name == "rebuild-done")
        *e = MakeEvent({1, 0, 0x9D, 1});
    else if (name == "fan-fail")
        *e = MakeEvent({19, 0, 0, b, 0});
    else if (name == "fan-ok")
        *e = MakeEvent({19, 0, 0, b, 1});
    else if (name == "temp-high")
        *e = MakeEvent({19, 0, 3, 0, 2});
    else if (name == "temp-normal")
        *e = MakeEvent({19, 0, 3, 0, 3});
    else if (name == "boot")
        *e = MakeEvent({4});
    else
        return false;
    return true;
}

Unit DefaultUnit(int port, int unit) {
    Unit u;
    PutText(u.ident, 0, 7, "KELDRAN");
    PutText(u.ident, 16, 16, "PM-1600 RAID");
    char fb[17];
    std::snprintf(fb, sizeof fb, "FB-P%02dU%d", port, unit);
    PutText(u.ident, 32, 16, fb);
    u.ident[80] = 0x03;
    u.ident[81] = 0x07;
    u.ident[95] = 8;
    u.ident[107] = 2;
    PutText(u.ident, 112, 16, "FW 3.7.1");
    u.ident[264] = 1;  // product type
    u.ident[265] = 0;  // vendor type
    char sn[20];
    std::snprintf(sn, sizeof sn, "SIM%02d%d00000001", port, unit);
    PutText(u.ident, 352, 19, sn);
    u.page20 = 0x10;
    u.info = {3, 7, 1, 0x2A, 0x00, 41, 0};  // firmware 3.7.1 build 42, 41 degrees C, status ok
    return u;
}

json TransferJson(const Transfer& t) {
    char crc[11];
    std::snprintf(crc, sizeof crc, "0x%08x", t.crc32);
    json j = {{"cmd", t.cmd},           {"sub", t.sub},    {"arg", t.arg},
              {"size", t.size},         {"crc32", crc},    {"packages", t.packages},
              {"complete", t.complete}, {"error", t.error}};
    return j;
}

}  // namespace

SimDevice::SimDevice() : rng_(std::random_device{}()) {}

void SimDevice::SetPortListener(PortListener l) {
    std::lock_guard<std::mutex> lock(mu_);
    listener_ = std::move(l);
}

void SimDevice::NotifyPort(int port, bool exists, bool refusing) {
    if (listener_) listener_(port, exists, refusing);
}

bool SimDevice::AddUnitLocked(int portNo, const json& j, std::string* err) {
    long unitNo = -1;
    if (!j.is_object() || !j.contains("unit")) {
        *err = "a unit needs its 'unit' number (0 to 3)";
        return false;
    }
    if (!GetInt(j, "unit", 0, kUnitsPerPort - 1, &unitNo, err)) return false;
    Port& port = ports_[portNo];
    if (port.units[unitNo]) {
        *err = "port " + std::to_string(portNo) + " already has unit " + std::to_string(unitNo);
        return false;
    }
    Unit u = DefaultUnit(portNo, static_cast<int>(unitNo));
    std::string s;
    struct TextField {
        const char* key;
        size_t off, max;
    };
    for (const TextField& f : {TextField{"signature", 0, 7}, TextField{"model", 16, 16},
                               TextField{"fallback_serial", 32, 16}, TextField{"firmware", 112, 16},
                               TextField{"serial", 352, 19}}) {
        s.clear();
        if (!GetString(j, f.key, f.max, &s, err)) return false;
        if (j.contains(f.key)) PutText(u.ident, f.off, f.max, s);
    }
    struct ByteField {
        const char* key;
        size_t off;
    };
    for (const ByteField& f : {ByteField{"product_type", 264}, ByteField{"vendor_type", 265},
                               ByteField{"ident95", 95}, ByteField{"ident107", 107}}) {
        long v = u.ident[f.off];
        if (!GetInt(j, f.key, 0, 255, &v, err)) return false;
        u.ident[f.off] = static_cast<uint8_t>(v);
    }
    long v80 = u.ident[80] << 8 | u.ident[81];
    if (!GetInt(j, "ident80", 0, 65535, &v80, err)) return false;
    u.ident[80] = static_cast<uint8_t>(v80 >> 8);
    u.ident[81] = static_cast<uint8_t>(v80);
    long p20 = u.page20;
    if (!GetInt(j, "page20", 0, 255, &p20, err)) return false;
    u.page20 = static_cast<uint8_t>(p20);
    if (j.contains("page20_fails")) {
        if (!j.at("page20_fails").is_boolean()) {
            *err = "'page20_fails' is not true or false";
            return false;
        }
        u.page20Fails = j.at("page20_fails").get<bool>();
    }
    if (j.contains("info")) {
        std::vector<uint8_t> b;
        if (!j.at("info").is_string() || !hex::Parse(j.at("info").get<std::string>(), &b) ||
            b.size() != u.info.size()) {
            *err = "'info' must be 7 bytes in hex";
            return false;
        }
        std::copy(b.begin(), b.end(), u.info.begin());
    }
    if (j.contains("identify_patch")) {
        const json& patches = j.at("identify_patch");
        if (!patches.is_array()) {
            *err = "'identify_patch' must be a list";
            return false;
        }
        for (const json& p : patches) {
            long off = 0;
            std::vector<uint8_t> b;
            if (!p.is_object() || !GetInt(p, "offset", 0, 511, &off, err) || !p.contains("hex") ||
                !p.at("hex").is_string() || !hex::Parse(p.at("hex").get<std::string>(), &b) ||
                static_cast<size_t>(off) + b.size() > u.ident.size()) {
                if (err->empty()) *err = "bad 'identify_patch' entry (offset, hex)";
                return false;
            }
            std::copy(b.begin(), b.end(), u.ident.begin() + off);
        }
    }
    if (j.contains("events")) {
        if (!j.at("events").is_array()) {
            *err = "'events' must be a list of hex texts";
            return false;
        }
        for (const json& e : j.at("events")) {
            std::vector<uint8_t> b;
            if (!e.is_string() || !hex::Parse(e.get<std::string>(), &b) || b.size() > kEventBytes) {
                *err = "an event is at most 32 bytes in hex";
                return false;
            }
            Event ev{};
            std::copy(b.begin(), b.end(), ev.begin());
            u.events.push_back(ev);
        }
    }
    port.units[unitNo] = std::move(u);
    return true;
}

bool SimDevice::LoadConfig(const json& cfg, std::string* err) {
    std::vector<int> created;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!cfg.is_object()) {
            *err = "the configuration must be a JSON object";
            return false;
        }
        long maxEvents = static_cast<long>(maxEvents_);
        if (!GetInt(cfg, "max_pending_events", 1, 1 << 20, &maxEvents, err)) return false;
        maxEvents_ = static_cast<size_t>(maxEvents);
        long idle = transferIdleMs_;
        if (!GetInt(cfg, "transfer_idle_ms", 1, 86400000, &idle, err)) return false;
        transferIdleMs_ = static_cast<uint32_t>(idle);
        if (cfg.contains("scenario")) {
            const json& sc = cfg.at("scenario");
            if (!sc.is_object()) {
                *err = "'scenario' must be an object";
                return false;
            }
            long lo = scenarioMinMs_, hi = scenarioMaxMs_, seed = -1;
            if (!GetInt(sc, "min_interval_ms", 10, 86400000, &lo, err) ||
                !GetInt(sc, "max_interval_ms", 10, 86400000, &hi, err) ||
                !GetInt(sc, "seed", 0, 0x7FFFFFFF, &seed, err))
                return false;
            if (hi < lo) hi = lo;
            scenarioMinMs_ = static_cast<uint32_t>(lo);
            scenarioMaxMs_ = static_cast<uint32_t>(hi);
            if (seed >= 0) rng_.seed(static_cast<uint32_t>(seed));
            if (sc.contains("enabled")) {
                if (!sc.at("enabled").is_boolean()) {
                    *err = "'scenario.enabled' is not true or false";
                    return false;
                }
                scenarioOn_ = sc.at("enabled").get<bool>();
            }
        }
        if (cfg.contains("ports")) {
            if (!cfg.at("ports").is_array()) {
                *err = "'ports' must be a list";
                return false;
            }
            for (const json& p : cfg.at("ports")) {
                long portNo = -1;
                if (!p.is_object() || !p.contains("port")) {
                    *err = "a port needs its 'port' number";
                    return false;
                }
                if (!GetInt(p, "port", 0, kMaxPorts - 1, &portNo, err)) return false;
                if (ports_.count(static_cast<int>(portNo)) == 0) {
                    ports_[static_cast<int>(portNo)];
                    created.push_back(static_cast<int>(portNo));
                }
                if (p.contains("units")) {
                    if (!p.at("units").is_array()) {
                        *err = "'units' must be a list";
                        return false;
                    }
                    for (const json& u : p.at("units"))
                        if (!AddUnitLocked(static_cast<int>(portNo), u, err)) {
                            *err = "port " + std::to_string(portNo) + ": " + *err;
                            return false;
                        }
                }
            }
        }
    }
    for (int p : created)
        if (listener_) listener_(p, true, false);
    return true;
}

std::vector<int> SimDevice::PortNumbers() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<int> v;
    for (const auto& [n, p] : ports_)
        v.push_back(n);
    return v;
}

bool SimDevice::PortRefusing(int port) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = ports_.find(port);
    return it != ports_.end() && it->second.refusing;
}

Fault* SimDevice::MatchFault(Port& p, int unit, bool isEvent, int cmd) {
    for (Fault& f : p.faults) {
        if (f.kind == "refuse") continue;
        if (f.unit >= 0 && f.unit != unit) continue;
        if (f.match == "inband" && isEvent) continue;
        if (f.match == "event" && !isEvent) continue;
        if (f.cmd >= 0 && (isEvent || f.cmd != cmd)) continue;
        return &f;
    }
    return nullptr;
}

void SimDevice::FinishTransfer(Unit& u, const std::string& error) {
    if (!u.current) return;
    u.current->complete = error.empty();
    u.current->error = error;
    u.transfers.push_back(*u.current);
    while (u.transfers.size() > kKeptTransfers)
        u.transfers.pop_front();
    u.current.reset();
}

Answer SimDevice::Handle(int portNo, uint8_t* block, uint32_t n) {
    Answer a;
    std::lock_guard<std::mutex> lock(mu_);
    ++calls_;
    auto pit = ports_.find(portNo);
    if (pit == ports_.end()) {
        a.result = kResultNoUnit;
        return a;
    }
    Port& port = pit->second;
    if (n < SRB_HEADER_SIZE || GetLe32(block + kOffHeaderLength) != SRB_HEADER_SIZE ||
        std::memcmp(block + kOffSignature, SRB_SIGNATURE, 8) != 0 ||
        GetLe32(block + kOffLength) > SRB_DATA_SIZE) {
        a.result = kResultInvalid;
        return a;
    }
    const uint32_t code = GetLe32(block + kOffControlCode);
    const uint32_t length = GetLe32(block + kOffLength);
    uint8_t* data = block + SRB_HEADER_SIZE;
    bool isEvent = false;
    int unitNo = -1;
    for (int i = 0; i < kUnitsPerPort; ++i)
        if (code == kEventCodeOfUnit[i]) {
            isEvent = true;
            unitNo = i;
        }
    if (!isEvent && code != IOCTL_DTR_INBAND_COMMAND) {
        a.result = kResultInvalid;
        return a;
    }
    if (!isEvent) unitNo = (data[1] >> 5) & 3;
    std::optional<Unit>& slot = port.units[unitNo];
    if (!slot) {
        a.result = kResultNoUnit;
        return a;
    }
    Unit& u = *slot;

    if (Fault* f = MatchFault(port, unitNo, isEvent, isEvent ? -1 : data[0])) {
        const Fault hit = *f;
        if (f->remaining > 0 && --f->remaining == 0) {
            port.faults.erase(port.faults.begin() + (f - port.faults.data()));
        }
        if (hit.kind == "delay") {
            a.delayMs = hit.value;
        } else {
            // The request does not reach the firmware: a transfer it belonged to is cut short.
            if (!isEvent && IsPackageCommand(data[0]))
                FinishTransfer(u, "cut short by an injected " + hit.kind);
            if (hit.kind == "ioctl-fail") {
                a.result = hit.value;
            } else if (hit.kind == "return-code") {
                SetReturnCode(block, ErrorReturnCode(static_cast<uint16_t>(hit.value)));
                if (isEvent) SetReturnCode(block, 0);  // an event fetch: nothing pending
            } else if (hit.kind == "close-no-reply") {
                a.close = Answer::Close::NoReply;
            } else if (hit.kind == "close-mid-reply") {
                a.close = Answer::Close::MidReply;
                a.n2 = SRB_HEADER_SIZE + 64;
            }
            return a;
        }
    }

    if (isEvent) {
        ++u.eventFetches;
        if (u.events.empty()) {
            SetReturnCode(block, 0);
            return a;
        }
        const Event& e = u.events.front();
        std::memcpy(data, e.data(), e.size());
        a.n2 = SRB_HEADER_SIZE + static_cast<uint32_t>(e.size());
        u.events.pop_front();
        ++u.eventsDelivered;
        SetReturnCode(block, 1);
        return a;
    }
    ++u.inbandCalls;
    u.commands.push_back(CommandRecord{data[0], data[1], length});
    while (u.commands.size() > kKeptCommands)
        u.commands.pop_front();
    if (IsPackageCommand(data[0]))
        HandlePackage(u, block, length, a);
    else
        HandleInband(u, block, length, a);
    return a;
}

void SimDevice::HandleInband(Unit& u, uint8_t* block, uint32_t length, Answer& a) {
    uint8_t* data = block + SRB_HEADER_SIZE;
    const uint8_t code = data[0];
    const uint32_t count = data[1] & 0x1F;  // without the unit bits
    const uint32_t hl = count + 2;
    SetReturnCode(block, 0);
    switch (code) {
        case INBAND_CMD_IDENTIFY: {  // the command's 3 bytes, then the page
            const uint8_t page = data[2];
            std::array<uint8_t, 3> head = {data[0], data[1], data[2]};
            std::memset(data, 0, 515);
            std::memcpy(data, head.data(), head.size());
            if (page == 0) {
                std::memcpy(data + 3, u.ident.data(), u.ident.size());
            } else if (page == 20) {
                if (u.page20Fails) {
                    SetReturnCode(block, ErrorReturnCode(kErrPage20));
                    return;
                }
                data[6] = u.page20;
            } else {
                SetReturnCode(block, ErrorReturnCode(kErrBadPage));
                return;
            }
            a.n2 = SRB_HEADER_SIZE + 515;
            return;
        }
        case INBAND_CMD_GET_PAGE: {  // a 512-byte data page after the command header
            const uint8_t param = count > 0 ? data[2] : 0;
            for (uint32_t i = 0; i < 512; ++i)
                data[hl + i] = static_cast<uint8_t>(i * 7 + param + u.ident[352]);
            a.n2 = SRB_HEADER_SIZE + hl + 512;
            return;
        }
        case INBAND_CMD_GET_INFO:  // 7 information bytes after the command header
            std::memcpy(data + hl, u.info.data(), u.info.size());
            a.n2 = SRB_HEADER_SIZE + hl + static_cast<uint32_t>(u.info.size());
            return;
        case INBAND_CMD_ECHO:  // the command as it came
            a.n2 = SRB_HEADER_SIZE + length;
            return;
        default:  // accepted, no data
            a.n2 = SRB_HEADER_SIZE;
            return;
    }
}

void SimDevice::HandlePackage(Unit& u, uint8_t* block, uint32_t length, Answer& a) {
    uint8_t* pkg = block + SRB_HEADER_SIZE;
    const uint8_t code = pkg[0];
    ++u.packages;
    const auto now = std::chrono::steady_clock::now();
    if (u.current && now - u.current->answeredAt > std::chrono::milliseconds(transferIdleMs_))
        FinishTransfer(u, "abandoned: no package came after the last answer");
    auto refuse = [&](uint16_t err, const std::string& why) {
        if (!u.current) {
            u.current = Transfer{};
            u.current->cmd = code;
        }
        FinishTransfer(u, why);
        SetReturnCode(block, ErrorReturnCode(err));
        a.n2 = SRB_HEADER_SIZE;
    };
    uint32_t h = 7;
    uint8_t sub = 0, arg = 0;
    if (code == INBAND_CMD_PKG_150) {
        sub = pkg[7];
        if (sub > 1) return refuse(kErrPkgSub, "bad sub-command " + std::to_string(sub));
        h = sub == 0 ? 8 : 9;
        if (sub == 1) arg = pkg[8];
    }
    if ((pkg[1] & 0x1F) != h - 2) return refuse(kErrPkgCount, "bad count byte");
    const uint32_t n = GetLe32(pkg + 2);
    const uint8_t last = pkg[6];
    if (n > INBAND_PKG_SIZE || length != h + n)
        return refuse(kErrPkgLength, "package length " + std::to_string(n) + " with Length " +
                                         std::to_string(length));
    if (last > 1) return refuse(kErrPkgFlag, "bad last-package flag");
    if (u.current && (u.current->cmd != code || u.current->sub != sub || u.current->arg != arg))
        return refuse(kErrPkgMixed, "a package of another transfer arrived");
    if (!last && n != INBAND_PKG_SIZE)
        return refuse(kErrPkgShort, "short package not flagged last");
    if (!u.current) {
        u.current = Transfer{};
        u.current->cmd = code;
        u.current->sub = sub;
        u.current->arg = arg;
    }
    u.current->size += n;
    u.current->crc32 = gui::Crc32Update(u.current->crc32, pkg + h, n);
    ++u.current->packages;
    u.current->answeredAt = now + std::chrono::milliseconds(a.delayMs);
    // An answer delayed past the request's own time-out never reaches the sender, which then
    // gives the transfer up.
    const uint64_t timeoutMs = uint64_t{GetLe32(block + kOffTimeout)} * 1000;
    if (a.delayMs > timeoutMs)
        FinishTransfer(u, "cut short: the answer is delayed past the request's time-out");
    else if (last)
        FinishTransfer(u, "");
    SetReturnCode(block, 0);
    a.n2 = SRB_HEADER_SIZE;
}

bool SimDevice::ScenarioEnabled() {
    std::lock_guard<std::mutex> lock(mu_);
    return scenarioOn_;
}

uint32_t SimDevice::ScenarioNextDelayMs() {
    std::lock_guard<std::mutex> lock(mu_);
    std::uniform_int_distribution<uint32_t> d(scenarioMinMs_, scenarioMaxMs_);
    return d(rng_);
}

void SimDevice::ScenarioStep() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<Unit*> units;
    for (auto& [n, p] : ports_)
        for (auto& u : p.units)
            if (u) units.push_back(&*u);
    if (units.empty()) return;
    Unit& u = *units[std::uniform_int_distribution<size_t>(0, units.size() - 1)(rng_)];
    auto push = [&](const char* name, uint8_t a, uint8_t b) {
        Event e{};
        if (NamedEvent(name, a, b, &e) && u.events.size() < maxEvents_) u.events.push_back(e);
    };
    // Continue a story in progress, else start one.
    int story = u.diskStory ? 0 : u.fanStory ? 1 : u.tempStory ? 2 : -1;
    if (story < 0) story = std::uniform_int_distribution<int>(0, 2)(rng_);
    const uint8_t disk = 5, array = 0, fan = 1;
    switch (story) {
        case 0:  // a disk fails, the array degrades, the disk is replaced and rebuilt
            switch (u.diskStory) {
                case 0:
                    push("disk-offline", array, disk);
                    push("degraded", array, 0);
                    break;
                case 1:
                    push("disk-online", array, disk);
                    push("rebuild-start", 0, 0);
                    break;
                default:
                    push("rebuild-done", 0, 0);
                    break;
            }
            u.diskStory = (u.diskStory + 1) % 3;
            break;
        case 1:
            push(u.fanStory == 0 ? "fan-fail" : "fan-ok", 0, fan);
            u.fanStory = (u.fanStory + 1) % 2;
            break;
        default:
            push(u.tempStory == 0 ? "temp-high" : "temp-normal", 0, 0);
            u.tempStory = (u.tempStory + 1) % 2;
            break;
    }
}

json SimDevice::Status() {
    std::lock_guard<std::mutex> lock(mu_);
    return StatusLocked();
}

json SimDevice::StatusLocked() {
    json ports = json::array();
    for (const auto& [n, p] : ports_) {
        json units = json::array();
        for (int i = 0; i < kUnitsPerPort; ++i) {
            if (!p.units[i]) continue;
            const Unit& u = *p.units[i];
            char sn[20] = {};
            std::memcpy(sn, u.ident.data() + 352, 19);
            char sig[8] = {};
            std::memcpy(sig, u.ident.data(), 7);
            json transfers = json::array();
            for (const Transfer& t : u.transfers)
                transfers.push_back(TransferJson(t));
            json commands = json::array();
            for (const CommandRecord& c : u.commands)
                commands.push_back({{"code", c.code}, {"byte1", c.byte1}, {"length", c.length}});
            units.push_back(
                {{"unit", i},
                 {"serial", sn},
                 {"signature", sig},
                 {"vendor_type", u.ident[265]},
                 {"product_type", u.ident[264]},
                 {"page20", u.page20},
                 {"page20_fails", u.page20Fails},
                 {"pending_events", u.events.size()},
                 {"inband_calls", u.inbandCalls},
                 {"event_fetches", u.eventFetches},
                 {"events_delivered", u.eventsDelivered},
                 {"packages", u.packages},
                 {"current_transfer", u.current ? TransferJson(*u.current) : json(nullptr)},
                 {"transfers", transfers},
                 {"commands", commands},
                 {"identify", hex::Format(u.ident.data(), u.ident.size())}});
        }
        json faults = json::array();
        for (const Fault& f : p.faults)
            faults.push_back({{"id", f.id},
                              {"kind", f.kind},
                              {"unit", f.unit},
                              {"inband_cmd", f.cmd},
                              {"match", f.match},
                              {"value", f.value},
                              {"remaining", f.remaining}});
        ports.push_back(
            {{"port", n}, {"refusing", p.refusing}, {"faults", faults}, {"units", units}});
    }
    return {{"ok", true},
            {"calls", calls_},
            {"scenario",
             {{"enabled", scenarioOn_},
              {"min_interval_ms", scenarioMinMs_},
              {"max_interval_ms", scenarioMaxMs_}}},
            {"ports", ports}};
}

// One control request, carried out with the model's lock held: each command of the control
// protocol is a handler, looked up by name. Port changes are collected and announced by
// Control() once the lock is released.
class SimDevice::ControlCall {
  public:
    struct PortChange {
        int port;
        bool exists, refusing;
    };

    ControlCall(SimDevice& dev, const json& req) : dev_(dev), req_(req) {}

    json Run();
    const std::vector<PortChange>& Changes() const { return changes_; }

  private:
    struct Command {
        const char* name;
        json (ControlCall::*handler)();
    };
    static const Command kCommands[];

    json Status();
    json AddPort();
    json RemovePort();
    json AddUnit();
    json RemoveUnit();
    json InjectEvent();
    json ClearEvents();
    json AddFault();
    json ClearFaults();
    json Scenario();

    static json Ok() { return json{{"ok", true}}; }
    static json Fail(const std::string& why) { return json{{"ok", false}, {"error", why}}; }
    // An optional integer field of the request; false with the reason in err_.
    bool Int(const char* key, long lo, long hi, long* out) {
        return GetInt(req_, key, lo, hi, out, &err_);
    }
    // The request's 'port' (0 to 63); false with the reason in err_.
    bool PortNumber(int* port);
    // The port the request names, which must exist; nullptr with the reason in err_.
    Port* ExistingPort(int* port);
    // The unit of `p` the request names, which must exist; nullptr with the reason in err_.
    Unit* ExistingUnit(Port& p, int* unit);
    Unit* ExistingUnit() {
        int port = -1, unit = -1;
        Port* p = ExistingPort(&port);
        return p != nullptr ? ExistingUnit(*p, &unit) : nullptr;
    }

    SimDevice& dev_;
    const json& req_;
    std::string err_;
    std::vector<PortChange> changes_;
};

const SimDevice::ControlCall::Command SimDevice::ControlCall::kCommands[] = {
    {"status", &ControlCall::Status},
    {"add-port", &ControlCall::AddPort},
    {"remove-port", &ControlCall::RemovePort},
    {"add-unit", &ControlCall::AddUnit},
    {"remove-unit", &ControlCall::RemoveUnit},
    {"inject-event", &ControlCall::InjectEvent},
    {"clear-events", &ControlCall::ClearEvents},
    {"fault", &ControlCall::AddFault},
    {"fault-clear", &ControlCall::ClearFaults},
    {"scenario", &ControlCall::Scenario},
};

json SimDevice::ControlCall::Run() {
    const std::string cmd = req_.is_object() && req_.contains("cmd") && req_.at("cmd").is_string()
                                ? req_.at("cmd").get<std::string>()
                                : "";
    for (const Command& c : kCommands)
        if (cmd == c.name) return (this->*c.handler)();
    return Fail("unknown command '" + cmd + "'");
}

bool SimDevice::ControlCall::PortNumber(int* port) {
    if (!req_.contains("port")) {
        err_ = "'port' is missing";
        return false;
    }
    long n = -1;
    if (!Int("port", 0, kMaxPorts - 1, &n)) return false;
    *port = static_cast<int>(n);
    return true;
}

Port* SimDevice::ControlCall::ExistingPort(int* port) {
    if (!PortNumber(port)) return nullptr;
    auto it = dev_.ports_.find(*port);
    if (it == dev_.ports_.end()) {
        err_ = "no port " + std::to_string(*port);
        return nullptr;
    }
    return &it->second;
}

Unit* SimDevice::ControlCall::ExistingUnit(Port& p, int* unit) {
    if (!req_.contains("unit")) {
        err_ = "'unit' is missing";
        return nullptr;
    }
    long n = -1;
    if (!Int("unit", 0, kUnitsPerPort - 1, &n)) return nullptr;
    *unit = static_cast<int>(n);
    if (!p.units[*unit]) {
        err_ = "no unit " + std::to_string(*unit);
        return nullptr;
    }
    return &*p.units[*unit];
}

json SimDevice::ControlCall::Status() {
    return dev_.StatusLocked();
}

json SimDevice::ControlCall::AddPort() {
    int port = -1;
    if (!PortNumber(&port)) return Fail(err_);
    if (!dev_.ports_.try_emplace(port).second) return Fail("the port exists");
    changes_.push_back({port, true, false});
    return Ok();
}

json SimDevice::ControlCall::RemovePort() {
    int port = -1;
    if (ExistingPort(&port) == nullptr) return Fail(err_);
    dev_.ports_.erase(port);
    changes_.push_back({port, false, false});
    return Ok();
}

json SimDevice::ControlCall::AddUnit() {
    int port = -1;
    if (!PortNumber(&port)) return Fail(err_);
    const bool isNew = dev_.ports_.count(port) == 0;
    json fields = req_.contains("fields") ? req_.at("fields") : json::object();
    if (!fields.is_object()) return Fail("'fields' must be an object");
    if (req_.contains("unit")) fields["unit"] = req_.at("unit");
    if (!dev_.AddUnitLocked(port, fields, &err_)) {
        if (isNew) dev_.ports_.erase(port);
        return Fail(err_);
    }
    if (isNew) changes_.push_back({port, true, false});
    return Ok();
}

json SimDevice::ControlCall::RemoveUnit() {
    int port = -1, unit = -1;
    Port* p = ExistingPort(&port);
    if (p == nullptr || ExistingUnit(*p, &unit) == nullptr) return Fail(err_);
    p->units[unit].reset();
    return Ok();
}

json SimDevice::ControlCall::InjectEvent() {
    Unit* u = ExistingUnit();
    if (u == nullptr) return Fail(err_);
    long count = 1;
    if (!Int("count", 1, 100000, &count)) return Fail(err_);
    Event ev{};
    if (req_.contains("name") && req_.at("name").is_string()) {
        long a = 0, b = 0;
        if (!Int("a", 0, 255, &a) || !Int("b", 0, 255, &b)) return Fail(err_);
        if (!NamedEvent(req_.at("name").get<std::string>(), static_cast<uint8_t>(a),
                        static_cast<uint8_t>(b), &ev))
            return Fail("unknown event name");
    } else if (req_.contains("hex") && req_.at("hex").is_string()) {
        std::vector<uint8_t> b;
        if (!hex::Parse(req_.at("hex").get<std::string>(), &b) || b.size() > kEventBytes)
            return Fail("an event is at most 32 bytes in hex");
        std::copy(b.begin(), b.end(), ev.begin());
    } else {
        return Fail("give the event as 'hex' or 'name'");
    }
    long added = 0;
    for (; added < count && u->events.size() < dev_.maxEvents_; ++added)
        u->events.push_back(ev);
    return {{"ok", true}, {"queued", added}, {"pending_events", u->events.size()}};
}

json SimDevice::ControlCall::ClearEvents() {
    Unit* u = ExistingUnit();
    if (u == nullptr) return Fail(err_);
    u->events.clear();
    return Ok();
}

json SimDevice::ControlCall::AddFault() {
    int port = -1;
    Port* p = ExistingPort(&port);
    if (p == nullptr) return Fail(err_);
    Fault f;
    f.kind = req_.contains("kind") && req_.at("kind").is_string()
                 ? req_.at("kind").get<std::string>()
                 : "";
    static const char* const kinds[] = {"return-code",    "ioctl-fail",      "delay",
                                        "close-no-reply", "close-mid-reply", "refuse"};
    if (std::none_of(std::begin(kinds), std::end(kinds),
                     [&](const char* k) { return f.kind == k; }))
        return Fail("unknown fault kind '" + f.kind + "'");
    long value = f.kind == "ioctl-fail" ? 5 : f.kind == "return-code" ? 0x42 : 0;
    long unit = -1, cmd = -1, count = 0;
    if (!Int("value", 0, 0x7FFFFFFF, &value) || !Int("unit", -1, kUnitsPerPort - 1, &unit) ||
        !Int("inband_cmd", -1, 255, &cmd) || !Int("count", 0, 1000000, &count))
        return Fail(err_);
    if (f.kind == "return-code" && value > 0xFFFF) return Fail("an in-band error code has 16 bits");
    if (f.kind == "ioctl-fail" && value == 0) return Fail("a failure needs a non-zero value");
    if (req_.contains("match")) {
        f.match = req_.at("match").is_string() ? req_.at("match").get<std::string>() : "";
        if (f.match != "any" && f.match != "inband" && f.match != "event")
            return Fail("'match' is any, inband or event");
    }
    f.value = static_cast<uint32_t>(value);
    f.unit = static_cast<int>(unit);
    f.cmd = static_cast<int>(cmd);
    f.remaining = static_cast<int>(count);
    f.id = dev_.nextFaultId_++;
    if (f.kind == "refuse") {
        p->refusing = true;
        changes_.push_back({port, true, true});
    }
    p->faults.push_back(f);
    return {{"ok", true}, {"id", f.id}};
}

json SimDevice::ControlCall::ClearFaults() {
    long id = -1;
    if (!Int("id", -1, 0x7FFFFFFF, &id)) return Fail(err_);
    const bool anyPort = !req_.contains("port");
    int port = -1;
    if (!anyPort && ExistingPort(&port) == nullptr) return Fail(err_);
    size_t cleared = 0;
    for (auto& [n, p] : dev_.ports_) {
        if (!anyPort && n != port) continue;
        cleared += std::erase_if(p.faults, [&](const Fault& f) { return id < 0 || f.id == id; });
        const bool refusing = std::any_of(p.faults.begin(), p.faults.end(),
                                          [](const Fault& f) { return f.kind == "refuse"; });
        if (p.refusing && !refusing) {
            p.refusing = false;
            changes_.push_back({n, true, false});
        }
    }
    return {{"ok", true}, {"cleared", cleared}};
}

json SimDevice::ControlCall::Scenario() {
    if (req_.contains("enabled")) {
        if (!req_.at("enabled").is_boolean()) return Fail("'enabled' is true or false");
        dev_.scenarioOn_ = req_.at("enabled").get<bool>();
    }
    long lo = dev_.scenarioMinMs_, hi = dev_.scenarioMaxMs_;
    if (!Int("min_interval_ms", 10, 86400000, &lo) || !Int("max_interval_ms", 10, 86400000, &hi))
        return Fail(err_);
    dev_.scenarioMinMs_ = static_cast<uint32_t>(lo);
    dev_.scenarioMaxMs_ = static_cast<uint32_t>(std::max(lo, hi));
    return Ok();
}

json SimDevice::Control(const json& req) {
    ControlCall call(*this, req);
    json reply;
    {
        std::lock_guard<std::mutex> lock(mu_);
        reply = call.Run();
    }
    for (const ControlCall::PortChange& c : call.Changes())
        NotifyPort(c.port, c.exists, c.refusing);
    return reply;
}

}  // namespace sim

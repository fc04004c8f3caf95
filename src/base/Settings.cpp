#include "base/Settings.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "base/TomlText.h"

namespace {

constexpr uint32_t LOOPBACK_ADDR = 0x7F000001;    // 127.0.0.1
constexpr uint32_t TIMEOUT_MAX_S = 24 * 60 * 60;  // a day

void AddFault(AgentSettings& s, const toml::source_region& where, const std::string& reason) {
    char pos[64];
    std::snprintf(pos, sizeof pos, ":%u:%u: ", static_cast<unsigned>(where.begin.line),
                  static_cast<unsigned>(where.begin.column));
    s.faults.push_back(s.path + pos + reason);
}

// A whole number in [0, max] for `key`; a fault otherwise.
bool ReadCount(AgentSettings& s, const toml::node& node, const char* key, uint32_t max,
               uint32_t* out) {
    const auto* v = node.as_integer();
    if (v == nullptr || v->get() < 0 || v->get() > static_cast<int64_t>(max)) {
        AddFault(
            s, node.source(),
            std::string("gui.") + key + " must be a whole number from 0 to " + std::to_string(max));
        return false;
    }
    *out = static_cast<uint32_t>(v->get());
    return true;
}

void ReadGui(AgentSettings& s, const toml::table& gui) {
    GuiPortSettings g;
    bool ok = true;
    for (const auto& [k, node] : gui) {
        const std::string key(k.str());
        if (key == "listen") {
            AddrRange r;
            const auto* v = node.as_string();
            if (v == nullptr || !ParseAddrRange(v->get(), &r) || r.prefix != 32) {
                AddFault(s, node.source(),
                         "gui.listen must be one IPv4 address, such as \"127.0.0.1\"");
                ok = false;
            } else {
                g.listenAddr = r.addr;
            }
        } else if (key == "allow") {
            const auto* arr = node.as_array();
            if (arr == nullptr) {
                AddFault(s, node.source(), "gui.allow must be a list of addresses and ranges");
                ok = false;
                continue;
            }
            if (arr->size() > SETTINGS_ALLOW_MAX) {
                AddFault(
                    s, node.source(),
                    "gui.allow holds more than " + std::to_string(SETTINGS_ALLOW_MAX) + " entries");
                ok = false;
                continue;
            }
            g.allowAny = false;
            for (const auto& item : *arr) {
                AddrRange r;
                const auto* v = item.as_string();
                if (v == nullptr || !ParseAddrRange(v->get(), &r)) {
                    AddFault(s, item.source(),
                             "gui.allow entries are IPv4 addresses or ranges, such as "
                             "\"10.1.0.0/16\"");
                    ok = false;
                } else {
                    g.allow.push_back(r);
                }
            }
        } else if (key == "max_per_source") {
            ok = ReadCount(s, node, "max_per_source", 256, &g.maxPerSource) && ok;
        } else if (key == "idle_timeout_s") {
            ok = ReadCount(s, node, "idle_timeout_s", TIMEOUT_MAX_S, &g.idleTimeoutS) && ok;
        } else if (key == "send_timeout_s") {
            ok = ReadCount(s, node, "send_timeout_s", TIMEOUT_MAX_S, &g.sendTimeoutS) && ok;
        } else {
            AddFault(s, k.source(), "unknown key gui." + key);
            ok = false;
        }
    }
    if (ok) s.gui = g;
}

// An absolute folder: "/..." (or "X:\\..." / "\\\\..." on Windows), without control characters.
bool IsAbsoluteFolder(const std::string& p) {
    if (p.empty() || p.size() >= 1024) return false;
    for (char c : p)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    if (p[0] == '/') return true;
    return p.size() >= 3 &&
           ((p[1] == ':' && (p[2] == '\\' || p[2] == '/')) || (p[0] == '\\' && p[1] == '\\'));
}

// An absolute file name: an absolute folder's form that does not end in '/'.
bool IsAbsoluteFile(const std::string& p) {
    return IsAbsoluteFolder(p) && p.back() != '/';
}

void ReadPaths(AgentSettings& s, const toml::table& paths) {
    PathSettings ps;
    bool ok = true;
    for (const auto& [k, node] : paths) {
        const std::string key(k.str());
        std::string* target = key == "state_dir"     ? &ps.stateDir
                              : key == "log_dir"     ? &ps.logDir
                              : key == "program_dir" ? &ps.programDir
                                                     : nullptr;
        if (target == nullptr) {
            AddFault(s, k.source(), "unknown key paths." + key);
            ok = false;
            continue;
        }
        const auto* v = node.as_string();
        if (v == nullptr || !IsAbsoluteFolder(v->get())) {
            AddFault(s, node.source(), "paths." + key + " must be an absolute folder");
            ok = false;
            continue;
        }
        *target = v->get();
        // No trailing separator, except for the root itself.
        while (target->size() > 1 && (target->back() == '/' || target->back() == '\\'))
            target->pop_back();
    }
    if (ok) s.paths = ps;
}

// "a.b.c.d:port" with a port from 1 to 65535.
bool IsListenAddress(const std::string& text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size() || text.size() - colon > 6)
        return false;
    AddrRange r;
    if (!ParseAddrRange(text.substr(0, colon), &r) || r.prefix != 32) return false;
    unsigned port = 0;
    for (size_t i = colon + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        port = port * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return port >= 1 && port <= 65535;
}

void ReadMetrics(AgentSettings& s, const toml::table& metrics) {
    MetricsSettings m;
    bool ok = true;
    for (const auto& [k, node] : metrics) {
        const std::string key(k.str());
        const auto* v = node.as_string();
        if (key == "listen") {
            if (v == nullptr || !IsListenAddress(v->get())) {
                AddFault(s, node.source(),
                         "metrics.listen must be an IPv4 address and a port, such as "
                         "\"127.0.0.1:8923\"");
                ok = false;
            } else {
                m.listen = v->get();
            }
        } else if (key == "textfile") {
            if (v == nullptr || !IsAbsoluteFile(v->get())) {
                AddFault(s, node.source(), "metrics.textfile must be an absolute file name");
                ok = false;
            } else {
                m.textfile = v->get();
            }
        } else {
            AddFault(s, k.source(), "unknown key metrics." + key);
            ok = false;
        }
    }
    if (ok) s.metrics = m;
}

// mail.repeat's values, in the order of MailRepeat.
constexpr const char* kRepeatNames[] = {"always", "once", "daily", "diminishing"};
static_assert(std::size(kRepeatNames) == static_cast<size_t>(MailRepeat::Diminishing) + 1);

// A subject: one line of at most 120 characters; {host} and {serial} are the only fields.
bool IsSubject(const std::string& t) {
    if (t.empty() || t.size() > 120) return false;
    for (char c : t)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    for (size_t open = t.find('{'); open != std::string::npos; open = t.find('{', open + 1)) {
        if (t.compare(open, 6, "{host}") != 0 && t.compare(open, 8, "{serial}") != 0) return false;
    }
    return true;
}

void ReadMail(AgentSettings& s, const toml::table& mail) {
    MailSettings m;
    bool ok = true;
    auto fault = [&](const toml::node& node, const std::string& why) {
        AddFault(s, node.source(), why);
        ok = false;
    };
    for (const auto& [k, node] : mail) {
        const std::string key(k.str());
        const auto* str = node.as_string();
        if (key == "subject") {
            if (str == nullptr || !IsSubject(str->get()))
                fault(node,
                      "mail.subject must be one line of at most 120 characters; {host} and "
                      "{serial} are its only fields");
            else
                m.subject = str->get();
        } else if (key == "recovery") {
            const auto* b = node.as_boolean();
            if (b == nullptr)
                fault(node, "mail.recovery must be true or false");
            else
                m.recovery = b->get();
        } else if (key == "repeat") {
            const std::string v = str != nullptr ? str->get() : "";
            const auto named = std::find(std::begin(kRepeatNames), std::end(kRepeatNames), v);
            if (named != std::end(kRepeatNames))
                m.repeat = static_cast<MailRepeat>(named - std::begin(kRepeatNames));
            else
                fault(node,
                      "mail.repeat must be \"always\", \"once\", \"daily\" or \"diminishing\"");
        } else if (key == "tls") {
            const std::string v = str != nullptr ? str->get() : "";
            if (v != "auto" && v != "required" && v != "none")
                fault(node, "mail.tls must be \"auto\", \"required\" or \"none\"");
            else
                m.tls = v;
        } else if (key == "ca_file") {
            if (str == nullptr || !IsAbsoluteFile(str->get()))
                fault(node, "mail.ca_file must be an absolute file name");
            else
                m.caFile = str->get();
        } else {
            AddFault(s, k.source(), "unknown key mail." + key);
            ok = false;
        }
    }
    if (ok) s.mail = m;
}

void ReadHook(AgentSettings& s, const toml::table& hook) {
    HookSettings h;
    bool ok = true;
    for (const auto& [k, node] : hook) {
        const std::string key(k.str());
        const auto* str = node.as_string();
        if (key == "program") {
            // Only POSIX systems run a hook.
            if (str == nullptr || !IsAbsoluteFile(str->get()) || str->get()[0] != '/') {
                AddFault(s, node.source(), "hook.program must be an absolute file name");
                ok = false;
            } else {
                h.program = str->get();
            }
        } else if (key == "events") {
            const std::string v = str != nullptr ? str->get() : "";
            if (v == "all" || v == "mailed") {
                h.mailedOnly = v == "mailed";
            } else {
                AddFault(s, node.source(), "hook.events must be \"all\" or \"mailed\"");
                ok = false;
            }
        } else {
            AddFault(s, k.source(), "unknown key hook." + key);
            ok = false;
        }
    }
    if (ok) s.hook = h;
}

std::string AddrText(uint32_t a) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF,
                  a & 0xFF);
    return buf;
}

}  // namespace

GuiPortSettings GuiPortSettings::Loopback() {
    GuiPortSettings g;
    g.listenAddr = LOOPBACK_ADDR;
    g.allowAny = false;
    g.allow = {AddrRange{LOOPBACK_ADDR & 0xFF000000u, 8}};
    return g;
}

bool GuiPortSettings::Allows(uint32_t addr) const {
    if (allowAny) return true;
    for (const AddrRange& r : allow)
        if (r.Contains(addr)) return true;
    return false;
}

bool ParseAddrRange(const std::string& text, AddrRange* out) {
    unsigned b[4];
    unsigned prefix = 32;
    char tail = 0;
    int used = 0;
    // Digits and dots only, then an optional "/n": sscanf alone would take blanks and signs.
    for (char c : text)
        if (!(c >= '0' && c <= '9') && c != '.' && c != '/') return false;
    if (std::sscanf(text.c_str(), "%3u.%3u.%3u.%3u%n", &b[0], &b[1], &b[2], &b[3], &used) != 4)
        return false;
    const std::string rest = text.substr(static_cast<size_t>(used));
    if (!rest.empty()) {
        if (rest.size() < 2 || rest.size() > 3 || rest[0] != '/' ||
            std::sscanf(rest.c_str(), "/%2u%c", &prefix, &tail) != 1 || prefix > 32)
            return false;
    }
    for (unsigned v : b)
        if (v > 255) return false;
    // Each part is 1 to 3 digits.
    int digits = 0;
    for (size_t i = 0; i < static_cast<size_t>(used); ++i) {
        if (text[i] == '.') {
            if (digits == 0) return false;
            digits = 0;
        } else {
            ++digits;
        }
    }
    if (digits == 0) return false;
    out->addr = b[0] << 24 | b[1] << 16 | b[2] << 8 | b[3];
    out->prefix = static_cast<uint8_t>(prefix);
    return true;
}

std::string AddrRangeText(const AddrRange& r) {
    std::string t = AddrText(r.addr);
    if (r.prefix != 32) t += "/" + std::to_string(r.prefix);
    return t;
}

AgentSettings ParseAgentSettings(const std::string& text, const char* path) {
    AgentSettings s;
    s.path = path;
    s.found = true;
    toml::parse_result parsed = ParseTomlText(text, path);
    if (!parsed) {
        AddFault(s, parsed.error().source(), std::string(parsed.error().description()));
    } else {
        for (const auto& [k, node] : parsed.table()) {
            const std::string key(k.str());
            if (key == "gui" && node.is_table()) {
                ReadGui(s, *node.as_table());
            } else if (key == "paths" && node.is_table()) {
                ReadPaths(s, *node.as_table());
            } else if (key == "metrics" && node.is_table()) {
                ReadMetrics(s, *node.as_table());
            } else if (key == "mail" && node.is_table()) {
                ReadMail(s, *node.as_table());
            } else if (key == "hook" && node.is_table()) {
                ReadHook(s, *node.as_table());
            } else if (key == "gui" || key == "paths" || key == "metrics" || key == "mail" ||
                       key == "hook") {
                AddFault(s, node.source(), key + " must be a section ([" + key + "])");
            } else {
                AddFault(s, k.source(), "unknown section or key " + key);
            }
        }
    }
    if (!s.Ok()) s.gui = GuiPortSettings::Loopback();
    return s;
}

AgentSettings LoadAgentSettings(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        AgentSettings s;
        s.path = path;
        return s;  // no file: the defaults
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        AgentSettings s;
        s.path = path;
        s.found = true;
        s.faults.push_back(s.path + ": cannot be read");
        s.gui = GuiPortSettings::Loopback();
        return s;
    }
    return ParseAgentSettings(text.str(), path);
}

std::string DescribeAgentSettings(const AgentSettings& s) {
    std::string out;
    const GuiPortSettings& g = s.gui;
    out += "gui.listen = \"" + AddrText(g.listenAddr) + "\"" +
           (g.listenAddr == 0 ? "  # every local IPv4 address\n" : "\n");
    if (g.allowAny) {
        out += "gui.allow = any\n";
    } else {
        out += "gui.allow = [";
        for (size_t i = 0; i < g.allow.size(); ++i)
            out += (i ? ", \"" : "\"") + AddrRangeText(g.allow[i]) + "\"";
        out += "]\n";
    }
    out += "gui.max_per_source = " + std::to_string(g.maxPerSource) +
           (g.maxPerSource == 0 ? "  # no limit\n" : "\n");
    out += "gui.idle_timeout_s = " + std::to_string(g.idleTimeoutS) +
           (g.idleTimeoutS == 0 ? "  # never\n" : "\n");
    out += "gui.send_timeout_s = " + std::to_string(g.sendTimeoutS) +
           (g.sendTimeoutS == 0 ? "  # never\n" : "\n");
    const PathSettings& p = s.paths;
    for (const auto& [key, value] :
         {std::pair<const char*, const std::string&>{"state_dir", p.stateDir},
          {"log_dir", p.logDir},
          {"program_dir", p.programDir}})
        out += std::string("paths.") + key + " = " +
               (value.empty() ? std::string("(the layout's default)") : "\"" + value + "\"") + "\n";
    out += "metrics.listen = " +
           (s.metrics.listen.empty() ? std::string("(off)") : "\"" + s.metrics.listen + "\"") +
           "\n";
    out += "metrics.textfile = " +
           (s.metrics.textfile.empty() ? std::string("(off)") : "\"" + s.metrics.textfile + "\"") +
           "\n";
    out += "mail.subject = " +
           (s.mail.subject.empty() ? std::string("(the system's own)")
                                   : "\"" + s.mail.subject + "\"") +
           "\n";
    out += std::string("mail.recovery = ") + (s.mail.recovery ? "true" : "false") + "\n";
    out += std::string("mail.repeat = \"") + kRepeatNames[static_cast<int>(s.mail.repeat)] + "\"\n";
    out += "mail.tls = \"" + s.mail.tls + "\"\n";
    out += "mail.ca_file = " +
           (s.mail.caFile.empty() ? std::string("(the system's store)")
                                  : "\"" + s.mail.caFile + "\"") +
           "\n";
    out += "hook.program = " +
           (s.hook.program.empty() ? std::string("(none)") : "\"" + s.hook.program + "\"") + "\n";
    out += std::string("hook.events = \"") + (s.hook.mailedOnly ? "mailed" : "all") + "\"\n";
    return out;
}

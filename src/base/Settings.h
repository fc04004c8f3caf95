// The agent's own settings file, pellomar.conf (TOML), beside the executable. Optional: without
// it every setting has its default, which is how the agent has always behaved. doc/configuration.md
// documents every key; doc/pellomar.conf.example is a commented example.
//
// A file that cannot be read or parsed, or that holds a key or value the agent does not know,
// is reported (file, line and reason) and never leaves the agent weaker than what the file
// asked for: with any fault in the file the GUI port serves loopback clients only
// (GuiPortSettings::Loopback) until the file is mended; the other settings keep their defaults.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The settings file's name in ServerDir.
constexpr const char* SETTINGS_FILE = "pellomar.conf";

// One IPv4 address range: the addresses whose top `prefix` bits equal those of `addr` (host byte
// order; prefix 32 is one address, 0 every address).
struct AddrRange {
    uint32_t addr = 0;
    uint8_t prefix = 32;

    bool Contains(uint32_t a) const {
        if (prefix == 0) return true;
        const uint32_t mask = prefix >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> prefix);
        return (a & mask) == (addr & mask);
    }
};

// Allow lists hold at most this many entries.
constexpr size_t SETTINGS_ALLOW_MAX = 256;

// [gui]: the GUI port.
struct GuiPortSettings {
    uint32_t listenAddr = 0;       // the address the port is bound to (host order; 0 = any)
    bool allowAny = true;          // no allow list: every address may connect
    std::vector<AddrRange> allow;  // otherwise: the addresses that may connect
    uint32_t maxPerSource = 0;     // live connections per address at most (0 = no limit)
    uint32_t idleTimeoutS = 60;    // close a connection that delivers no byte this long (0 = never)
    uint32_t sendTimeoutS =
        60;  // close a connection that takes no reply byte this long (0 = never)

    // The settings of a broken file: the port bound to 127.0.0.1, loopback clients only.
    static GuiPortSettings Loopback();
    // True when `addr` (host order) may connect.
    bool Allows(uint32_t addr) const;
};

// [paths]: where the agent's files go (base/AgentPaths.h; empty: the layout's default). Each is
// an absolute folder.
struct PathSettings {
    std::string stateDir;    // mail settings, event histories and packs, the device sockets
    std::string logDir;      // ServerLog.txt
    std::string programDir;  // the responder and the mailer
};

// [metrics]: the Prometheus metrics (Linux). Both off by default.
struct MetricsSettings {
    std::string listen;    // "address:port" of the HTTP endpoint serving /metrics ("": none)
    std::string textfile;  // a file rewritten whole every 15 s with the same text ("": none)
};

// [mail]: how mail goes out. The mailer reads tls and ca_file itself (doc/mail.md).
enum class MailRepeat { Always, Once, Daily, Diminishing };
struct MailSettings {
    std::string subject;    // "" : the system's own subject; may hold {host} and {serial}
    bool recovery = false;  // also mail the events that say a condition ended
    MailRepeat repeat = MailRepeat::Always;
    std::string tls = "auto";  // "auto", "required" or "none" (the mailer's)
    std::string caFile;        // a PEM file of a private CA (the mailer's)
};

// [hook]: a program run for recorded events.
struct HookSettings {
    std::string program;      // an absolute path; "" : none
    bool mailedOnly = false;  // events = "mailed": only the events that are mailed
};

// Everything the settings file says.
struct AgentSettings {
    std::string path;                 // the file read (or looked for)
    bool found = false;               // the file exists
    std::vector<std::string> faults;  // "<file>:<line>:<column>: <reason>", in file order
    GuiPortSettings gui;
    PathSettings paths;
    MetricsSettings metrics;
    MailSettings mail;
    HookSettings hook;

    bool Ok() const { return faults.empty(); }
};

// Reads the settings file at `path`. A missing file gives the defaults and no fault. Never
// throws; every fault is collected in `faults` (and the GUI port is then loopback-only).
AgentSettings LoadAgentSettings(const char* path);

// Parses settings from `text` as if read from `path` (the fuzz target and the tests use it).
AgentSettings ParseAgentSettings(const std::string& text, const char* path);

// What the agent understood, one "section.key = value" line per setting, as --check-config
// prints it.
std::string DescribeAgentSettings(const AgentSettings& s);

// "a.b.c.d" or "a.b.c.d/n" into a range. False for anything else.
bool ParseAddrRange(const std::string& text, AddrRange* out);
// The range as text ("10.1.0.0/16", or the address alone for /32).
std::string AddrRangeText(const AddrRange& r);

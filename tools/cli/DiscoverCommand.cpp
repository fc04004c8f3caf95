// discover: finds agents through their discovery responders (doc/discovery.md).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "CliCommands.h"
#include "common/Discovery.h"
#include "common/PortText.h"
#include "platform/HostPaths.h"
#include "platform/Socket.h"

namespace {

using Clock = std::chrono::steady_clock;

struct DiscoverOptions {
    std::string target = "255.255.255.255";
    uint16_t port = disc::DISC_UDP_PORT;
    int timeoutMs = 3000;
    std::string key = disc::DISC_DEFAULT_KEY;
};

bool ParseDiscoverOptions(const CliContext& ctx, DiscoverOptions* o) {
    for (size_t i = 0; i < ctx.args.size(); ++i) {
        const std::string& a = ctx.args[i];
        // Every word is an option with its value.
        if (!ctx.IsOption(i) || i + 1 >= ctx.args.size()) return false;
        const std::string& v = ctx.args[++i];
        if (a == "--target") {
            o->target = v;
        } else if (a == "--port") {
            if (!port_text::ParsePort(v.data(), v.size(), &o->port)) return false;
        } else if (a == "--timeout") {
            if (!CliParseSeconds(v.c_str(), 3600, &o->timeoutMs)) return false;
        } else if (a == "--key") {
            if (v.empty() || v.size() > disc::DISC_KEY_MAX) return false;
            o->key = v;
        } else {
            return false;
        }
    }
    return true;
}

int RemainingMs(Clock::time_point until) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

struct Answerer {
    uint32_t addr;
    uint16_t port;
};

int RunDiscover(const CliContext& ctx) {
    DiscoverOptions o;
    if (!ParseDiscoverOptions(ctx, &o)) return CliUsage("discover");

    char err[256] = {};
    uint32_t target = 0;
    if (!plat::SockResolveIpv4(o.target.c_str(), &target, err, sizeof err))
        return CliFail("%s", err);
    plat::Socket sock(plat::SockUdpBind(0, 0, nullptr, err, sizeof err));
    if (!sock.Valid()) return CliFail("cannot open a UDP socket: %s", err);
    // Broadcasting needs the permission; a single address never gets it.
    if (plat::SockIsBroadcastAddr(target) && !plat::SockUdpAllowBroadcast(sock.Get()))
        return CliFail("cannot broadcast to %s", o.target.c_str());

    std::random_device rd;
    uint32_t nonce = static_cast<uint32_t>(rd());
    uint8_t probe[disc::DISC_PROBE_SIZE];
    size_t probeLen = disc::BuildDiscProbe(nonce, o.key.c_str(), probe, sizeof probe);
    if (probeLen == 0) return CliFail("cannot build a probe with key '%s'", o.key.c_str());

    // The probe goes out twice (at once and, when time allows, after a second) so that one lost
    // datagram does not hide an agent; each responder is listed once.
    auto start = Clock::now();
    auto deadline = start + std::chrono::milliseconds(o.timeoutMs);
    auto resendAt = o.timeoutMs >= 2000 ? start + std::chrono::seconds(1) : deadline;
    bool resent = false;
    if (plat::SockUdpSendTo(sock.Get(), target, o.port, probe, static_cast<int>(probeLen), err,
                            sizeof err) < 0)
        return CliFail("cannot send to %s:%u: %s", o.target.c_str(), static_cast<unsigned>(o.port),
                       err);

    std::vector<Answerer> seen;
    CliJsonDoc agents = CliJsonDoc::array();
    for (;;) {
        if (!resent && Clock::now() >= resendAt && resendAt < deadline) {
            plat::SockUdpSendTo(sock.Get(), target, o.port, probe, static_cast<int>(probeLen),
                                nullptr, 0);
            resent = true;
        }
        int wait = RemainingMs(resent ? deadline : std::min(resendAt, deadline));
        if (RemainingMs(deadline) == 0) break;
        uint8_t buf[disc::DISC_DATAGRAM_MAX];
        uint32_t from = 0;
        uint16_t fromPort = 0;
        char fromText[plat::SOCK_ADDR_TEXT_MAX] = {};
        int n = plat::SockUdpRecvFrom(sock.Get(), buf, sizeof buf, wait, &from, &fromPort, fromText,
                                      sizeof fromText);
        // A time-out (resend or end), or a socket error: pause briefly on an error so that a
        // lasting one does not spin until the deadline.
        if (n == -1) plat::SleepMs(10);
        if (n < 0) continue;
        disc::DiscAnswer a;
        if (static_cast<size_t>(n) > sizeof buf ||
            !disc::ParseDiscAnswer(buf, static_cast<size_t>(n), &a) || a.lNonce != nonce)
            continue;
        bool dup = false;
        for (const Answerer& s : seen)
            dup = dup || (s.addr == from && s.port == fromPort);
        if (dup) continue;
        seen.push_back({from, fromPort});
        char version[16];
        std::snprintf(version, sizeof version, "%u.%u.%u", a.bVerMajor, a.bVerMinor, a.bVerPatch);
        if (CliJson()) {
            agents.push_back({{"address", fromText},
                              {"port", a.usTcpPort},
                              {"version", version},
                              {"host", disc::DiscPrintableName(a.cHostName)}});
            continue;
        }
        if (seen.size() == 1)
            std::printf("%-15s  %8s  %-8s  %s\n", "ADDRESS", "TCP PORT", "VERSION", "HOST NAME");
        std::printf("%-15s  %8u  %-8s  %s\n", fromText, static_cast<unsigned>(a.usTcpPort), version,
                    disc::DiscPrintableName(a.cHostName).c_str());
        std::fflush(stdout);
    }
    if (seen.empty())
        return CliFail("no responder answered from %s:%u within %.1f s", o.target.c_str(),
                       static_cast<unsigned>(o.port), o.timeoutMs / 1000.0);
    if (CliJson()) CliPrintJson({{"agents", std::move(agents)}});
    return CLI_OK;
}

}  // namespace

CLI_COMMAND("discover", "discover [--target A] [--timeout S]",
            "probe UDP 8922 of A (default broadcast; --port P), list who answers in S s (3)", 60,
            "--target= --port= --timeout= --key=", &RunDiscover);

// EchoBack: the discovery responder. Usage: EchoBack KEY [--port P]
//
// Listens on UDP port 8922 (or P) on every IPv4 address and answers each probe that carries KEY
// with the host's name, the agent's TCP port and its own version (tools/common/Discovery.h,
// doc/discovery.md). Everything else is ignored and never answered, answers are rate-limited
// per source, and no answer is ever larger than the probe that asked for it.
//
// The agent launches one at every start, so a responder that finds its port taken assumes
// another one runs and exits at once, silently, with status 0. SIGTERM or SIGINT ends it with 0.
// Exit status 2: bad command line; 1: the port could not be opened for another reason.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/Discovery.h"
#include "common/PortText.h"
#include "platform/HostPaths.h"
#include "platform/Socket.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void OnStopSignal(int) {
    g_stop = 1;
}

// How long one wait for a datagram lasts: the longest a stop signal waits to be seen.
constexpr int ECHOBACK_POLL_MS = 200;

// The usage on `out`: standard output for --help, standard error for a bad command line.
int Usage(std::FILE* out = stderr) {
    std::fprintf(out,
                 "usage: EchoBack KEY [--port P]\n"
                 "       EchoBack --help | --version\n"
                 "  KEY        the key a probe must carry (1 to %zu bytes)\n"
                 "  --port P   UDP port to answer on (default %u; 0 = any free port)\n",
                 disc::DISC_KEY_MAX, static_cast<unsigned>(disc::DISC_UDP_PORT));
    return 2;
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Sources no answer may go to: nobody listens there, or the address is not one host's.
bool AnswerableSource(uint32_t addr, uint16_t port) {
    if (port == 0 || addr == 0 || addr == 0xFFFFFFFFu) return false;
    if ((addr >> 28) == 0xE) return false;  // multicast 224.0.0.0/4
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const char* key = nullptr;
    uint16_t port = disc::DISC_UDP_PORT;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--port") == 0) {
            if (i + 1 >= argc || !port_text::ParsePort(argv[++i], &port, 0)) return Usage();
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage(stdout);
            return 0;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("EchoBack %d.%d.%d\n", ECHOBACK_VER_MAJOR, ECHOBACK_VER_MINOR,
                        ECHOBACK_VER_PATCH);
            return 0;
        } else if (key == nullptr && argv[i][0] != '-') {
            key = argv[i];
        } else {
            return Usage();
        }
    }
    size_t keyLen = key != nullptr ? std::strlen(key) : 0;
    if (keyLen == 0 || keyLen > disc::DISC_KEY_MAX) return Usage();

    std::signal(SIGTERM, &OnStopSignal);
    std::signal(SIGINT, &OnStopSignal);

    bool inUse = false;
    char err[256] = {};
    plat::Socket sock(plat::SockUdpBind(0, port, &inUse, err, sizeof err));
    if (!sock.Valid()) {
        if (inUse) return 0;  // another responder answers already
        std::fprintf(stderr, "EchoBack: UDP port %u: %s\n", static_cast<unsigned>(port), err);
        return 1;
    }
    std::printf("EchoBack %d.%d.%d: answering on UDP port %u\n", ECHOBACK_VER_MAJOR,
                ECHOBACK_VER_MINOR, ECHOBACK_VER_PATCH,
                static_cast<unsigned>(plat::SockLocalPort(sock.Get())));
    std::fflush(stdout);

    disc::DiscRateLimiter limiter;
    static uint8_t in[disc::DISC_DATAGRAM_MAX];
    uint8_t out[disc::DISC_ANSWER_MAX];
    while (g_stop == 0) {
        uint32_t peer = 0;
        uint16_t peerPort = 0;
        int n = plat::SockUdpRecvFrom(sock.Get(), in, sizeof in, ECHOBACK_POLL_MS, &peer, &peerPort,
                                      nullptr, 0);
        if (n == -2) continue;
        if (n < 0) {
            // A transient error (some hosts report an earlier answer's ICMP error here): pause a
            // little so that a lasting one does not spin.
            plat::SleepMs(10);
            continue;
        }
        size_t size = static_cast<size_t>(n);
        size_t have = size < sizeof in ? size : sizeof in;
        disc::DiscProbe probe;
        if (!disc::ParseDiscProbe(in, have, size, &probe)) continue;
        if (!disc::DiscKeyMatches(probe, key)) continue;
        if (!AnswerableSource(peer, peerPort)) continue;
        if (!limiter.Allow(peer, NowMs())) continue;
        // The host's name may change while the responder runs for years: read it per answer.
        char host[256] = {};
        if (!plat::SockHostName(host, sizeof host)) host[0] = '\0';
        // Never larger than the probe that asked (which is at least DISC_PROBE_SIZE bytes).
        size_t room = size < sizeof out ? size : sizeof out;
        size_t len =
            disc::BuildDiscAnswer(probe.lNonce, disc::DISC_AGENT_TCP_PORT, ECHOBACK_VER_MAJOR,
                                  ECHOBACK_VER_MINOR, ECHOBACK_VER_PATCH, host, out, room);
        if (len == 0 || len > size) continue;
        plat::SockUdpSendTo(sock.Get(), peer, peerPort, out, static_cast<int>(len), nullptr, 0);
    }
    return 0;
}

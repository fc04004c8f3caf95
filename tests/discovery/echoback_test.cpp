// The responder EchoBack as a program, probed on 127.0.0.1 on a port of its own choosing, and
// the client command pellomar-cli discover.
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/Discovery.h"
#include "platform/Socket.h"
#include "support/TestSupport.h"

using namespace testing_support;
using namespace disc;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kLoopback = 0x7F000001;

// One EchoBack on a free UDP port (--port 0: it tells the port it got on standard output).
class Responder {
  public:
    bool Start(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv = {BinPath("EchoBack"), "KELDRAN", "--port", "0"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        if (!proc_.Start(argv)) return false;
        const std::string tag = "UDP port ";
        bool up = WaitFor(
            [&] { return !proc_.Running() || proc_.Stdout().find('\n') != std::string::npos; },
            std::chrono::seconds(30));
        std::string out = proc_.Stdout();
        auto at = out.find(tag);
        if (!up || at == std::string::npos) return false;
        port_ = static_cast<uint16_t>(std::atoi(out.c_str() + at + tag.size()));
        return port_ != 0;
    }
    uint16_t port() const { return port_; }
    ChildProcess& process() { return proc_; }

  private:
    ChildProcess proc_;
    uint16_t port_ = 0;
};

// A client socket on 127.0.0.1.
class Client {
  public:
    Client() : sock_(plat::SockUdpBind(kLoopback, 0, nullptr, nullptr, 0)) {}
    bool Send(uint16_t port, const Bytes& d) {
        return plat::SockUdpSendTo(sock_.Get(), kLoopback, port, d.data(),
                                   static_cast<int>(d.size()), nullptr,
                                   0) == static_cast<int>(d.size());
    }
    // The next datagram within `timeoutMs`, or nothing.
    std::optional<Bytes> Recv(int timeoutMs) {
        Bytes b(DISC_DATAGRAM_MAX);
        int n = plat::SockUdpRecvFrom(sock_.Get(), b.data(), static_cast<int>(b.size()), timeoutMs,
                                      nullptr, nullptr, nullptr, 0);
        if (n < 0 || static_cast<size_t>(n) > b.size()) return std::nullopt;
        b.resize(static_cast<size_t>(n));
        return b;
    }
    uint16_t port() const { return plat::SockLocalPort(sock_.Get()); }

  private:
    plat::Socket sock_;
};

Bytes Probe(uint32_t nonce, const char* key = "KELDRAN") {
    Bytes p(DISC_PROBE_SIZE);
    BuildDiscProbe(nonce, key, p.data(), p.size());
    return p;
}

std::string HostNameCut() {
    char host[256] = {};
    EXPECT_TRUE(plat::SockHostName(host, sizeof host));
    return std::string(host).substr(0, DISC_NAME_MAX);
}

std::string VersionText(const DiscAnswer& a) {
    return std::to_string(a.bVerMajor) + "." + std::to_string(a.bVerMinor) + "." +
           std::to_string(a.bVerPatch);
}

}  // namespace

TEST(EchoBack, AnswersAProbeWithTheHostNameTheAgentPortAndItsVersion) {
    Responder r;
    ASSERT_TRUE(r.Start());
    Client c;
    ASSERT_TRUE(c.Send(r.port(), Probe(0xA1B2C3D4)));
    auto got = c.Recv(10000);
    ASSERT_TRUE(got.has_value()) << "no answer";
    EXPECT_LE(got->size(), DISC_PROBE_SIZE);
    DiscAnswer a;
    ASSERT_TRUE(ParseDiscAnswer(got->data(), got->size(), &a));
    EXPECT_EQ(a.lNonce, 0xA1B2C3D4u);
    EXPECT_EQ(a.usTcpPort, 8922);
    EXPECT_EQ(VersionText(a), PELLOMAR_VERSION);
    EXPECT_EQ(a.cHostName, HostNameCut());

    // A probe of a later version, longer and with its own padding, gets a version-1 answer.
    Bytes v2 = Probe(77);
    v2[4] = 2;
    v2.resize(400, 0x5A);
    ASSERT_TRUE(c.Send(r.port(), v2));
    got = c.Recv(10000);
    ASSERT_TRUE(got.has_value());
    ASSERT_TRUE(ParseDiscAnswer(got->data(), got->size(), &a));
    EXPECT_EQ(a.bVersion, 1);
    EXPECT_EQ(a.lNonce, 77u);
}

TEST(EchoBack, NeverAnswersAWrongKeyOrAnythingMalformed) {
    Responder r;
    ASSERT_TRUE(r.Start());
    Client c;
    std::vector<Bytes> bad = {
        Probe(1, "KELDRA"), Probe(2, "KELDRANX"), Probe(3, "keldran"), Probe(4, "WRONG"), Bytes{},
        Bytes{'P'},         Bytes(12, 0)};
    Bytes p = Probe(5);
    bad.emplace_back(p.begin(), p.end() - 1);  // one byte short
    p.push_back(0);
    bad.push_back(p);  // one byte long for version 1
    p = Probe(6);
    p[5] = DISC_TYPE_ANSWER;  // an answer, as a second responder would send: no ping-pong
    bad.push_back(p);
    p = Probe(7);
    p[0] = 'Q';
    bad.push_back(p);
    p = Probe(8);
    p[12] = 0;
    bad.push_back(p);
    uint8_t answer[DISC_ANSWER_MAX];
    size_t n = BuildDiscAnswer(9, 8922, 1, 2, 3, "h", answer, sizeof answer);
    bad.emplace_back(answer, answer + n);
    bad.push_back(Bytes(60000, 0xEE));  // longer than the responder reads
    std::mt19937 rng(1234);
    for (int i = 0; i < 150; ++i) {
        Bytes g(rng() % 300);
        for (auto& b : g)
            b = static_cast<uint8_t>(rng());
        if (i % 3 == 0 && g.size() >= 6) {  // some look like the start of a probe
            g[0] = 'P', g[1] = 'L', g[2] = 'D', g[3] = 'S', g[4] = 1, g[5] = 1;
        }
        bad.push_back(g);
    }
    for (const Bytes& d : bad)
        ASSERT_TRUE(c.Send(r.port(), d));

    // Datagrams are served in order: the first thing back must answer the good probe that
    // follows them (sent again if the responder's queue dropped it), and nothing else comes.
    const uint32_t goodNonce = 0x600D;
    bool answered = false;
    for (int tries = 0; tries < 5 && !answered; ++tries) {
        ASSERT_TRUE(c.Send(r.port(), Probe(goodNonce)));
        while (auto got = c.Recv(answered ? 500 : 3000)) {
            DiscAnswer a;
            ASSERT_TRUE(ParseDiscAnswer(got->data(), got->size(), &a));
            ASSERT_EQ(a.lNonce, goodNonce) << "a bad datagram was answered";
            answered = true;
        }
    }
    EXPECT_TRUE(answered);
    EXPECT_TRUE(r.process().Running());
}

TEST(EchoBack, ABurstFromOneSourceIsCutByTheRateLimit) {
    Responder r;
    ASSERT_TRUE(r.Start());
    Client c;
    const int burst = 20;
    auto t0 = Clock::now();
    for (int i = 0; i < burst; ++i)
        ASSERT_TRUE(c.Send(r.port(), Probe(1000 + static_cast<uint32_t>(i))));
    int answers = 0;
    auto lastAnswer = t0;
    while (auto got = c.Recv(answers == 0 ? 10000 : 1500)) {
        DiscAnswer a;
        ASSERT_TRUE(ParseDiscAnswer(got->data(), got->size(), &a));
        ++answers;
        lastAnswer = Clock::now();
    }
    // One answer more per second passed while the burst was served may come on a slow machine.
    auto span = std::chrono::duration_cast<std::chrono::seconds>(lastAnswer - t0).count();
    EXPECT_GE(answers, 1);
    EXPECT_LE(answers, DISC_RATE_BURST + span) << "over " << span << " s";
    EXPECT_LT(answers, burst);

    // The bucket refills: a second later the same source is answered again.
    ASSERT_TRUE(WaitFor(
        [&] { return Clock::now() - lastAnswer > std::chrono::milliseconds(DISC_RATE_REFILL_MS); },
        std::chrono::seconds(5)));
    ASSERT_TRUE(c.Send(r.port(), Probe(4242)));
    auto got = c.Recv(10000);
    ASSERT_TRUE(got.has_value());
}

TEST(EchoBack, ASecondResponderOnTheSamePortExitsZeroAtOnceAndSilently) {
    Responder first;
    ASSERT_TRUE(first.Start());
    ChildProcess second;
    ASSERT_TRUE(
        second.Start({BinPath("EchoBack"), "KELDRAN", "--port", std::to_string(first.port())}));
    EXPECT_EQ(second.Wait(std::chrono::seconds(10)), 0);
    EXPECT_EQ(second.Stdout(), "");
    EXPECT_EQ(second.Stderr(), "");
    // The first one goes on answering.
    EXPECT_TRUE(first.process().Running());
    Client c;
    ASSERT_TRUE(c.Send(first.port(), Probe(1)));
    EXPECT_TRUE(c.Recv(10000).has_value());
}

TEST(EchoBack, SigtermOrSigintEndsItWithZero) {
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        Responder r;
        ASSERT_TRUE(r.Start());
        r.process().Signal(sig);
        EXPECT_EQ(r.process().Wait(std::chrono::seconds(10)), 0);
    }
}

TEST(EchoBack, RefusesABadCommandLine) {
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {},
             {"--port", "0"},
             {std::string(33, 'k')},
             {"KELDRAN", "--port"},
             {"KELDRAN", "--port", "65536"},
             {"KELDRAN", "--port", "x"},
             {"KELDRAN", "second"},
         }) {
        args.insert(args.begin(), BinPath("EchoBack"));
        std::string out, err;
        EXPECT_EQ(RunProgram(args, &out, &err, std::chrono::seconds(20)), 2) << args.size();
        EXPECT_NE(err.find("usage: EchoBack"), std::string::npos) << err;
    }
}

TEST(Discover, ListsTheResponderOnceWithItsAddressPortVersionAndHost) {
    Responder r;
    ASSERT_TRUE(r.Start());
    std::string out, err;
    EXPECT_EQ(RunProgram({BinPath("pellomar-cli"), "discover", "--target", "127.0.0.1", "--port",
                          std::to_string(r.port()), "--timeout", "2"},
                         &out, &err, std::chrono::seconds(30)),
              0)
        << err;
    std::string host = DiscPrintableName(HostNameCut().c_str());
    char line[256];
    std::snprintf(line, sizeof line, "%-15s  %8u  %-8s  %s\n", "127.0.0.1", 8922u, PELLOMAR_VERSION,
                  host.c_str());
    // The probe goes out twice; the answerer is listed once.
    EXPECT_EQ(out, "ADDRESS          TCP PORT  VERSION   HOST NAME\n" + std::string(line));

    // With another key nobody answers: failure, after the time-out.
    EXPECT_EQ(RunProgram({BinPath("pellomar-cli"), "discover", "--target", "127.0.0.1", "--port",
                          std::to_string(r.port()), "--timeout", "0.5", "--key", "OTHER"},
                         &out, &err, std::chrono::seconds(30)),
              1);
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find("no responder answered"), std::string::npos) << err;
}

TEST(Discover, SendsAWellFormedProbeAndListsOnlyTheAnswersToIt) {
    // A fake responder: reads the probe and answers with a wrong nonce, with garbage and then
    // rightly, twice.
    plat::Socket fake(plat::SockUdpBind(kLoopback, 0, nullptr, nullptr, 0));
    ASSERT_TRUE(fake.Valid());
    ChildProcess cli;
    ASSERT_TRUE(cli.Start({BinPath("pellomar-cli"), "discover", "--target", "127.0.0.1", "--port",
                           std::to_string(plat::SockLocalPort(fake.Get())), "--timeout", "3"}));
    Bytes buf(DISC_DATAGRAM_MAX);
    uint32_t from = 0;
    uint16_t fromPort = 0;
    int n = plat::SockUdpRecvFrom(fake.Get(), buf.data(), static_cast<int>(buf.size()), 20000,
                                  &from, &fromPort, nullptr, 0);
    ASSERT_EQ(n, static_cast<int>(DISC_PROBE_SIZE));
    DiscProbe p;
    ASSERT_TRUE(ParseDiscProbe(buf.data(), DISC_PROBE_SIZE, DISC_PROBE_SIZE, &p));
    EXPECT_EQ(p.bVersion, 1);
    EXPECT_TRUE(DiscKeyMatches(p, "KELDRAN"));

    auto answer = [&](uint32_t nonce, const char* host) {
        uint8_t a[DISC_ANSWER_MAX];
        size_t len = BuildDiscAnswer(nonce, 8922, 9, 8, 7, host, a, sizeof a);
        return Bytes(a, a + len);
    };
    const Bytes replies[] = {answer(p.lNonce + 1, "wrong"), Bytes{1, 2, 3}, Probe(p.lNonce),
                             answer(p.lNonce, "right\x1b[2J"), answer(p.lNonce, "again")};
    for (const Bytes& d : replies)
        ASSERT_EQ(plat::SockUdpSendTo(fake.Get(), from, fromPort, d.data(),
                                      static_cast<int>(d.size()), nullptr, 0),
                  static_cast<int>(d.size()));
    EXPECT_EQ(cli.Wait(std::chrono::seconds(30)), 0) << cli.Stderr();
    char line[256];
    std::snprintf(line, sizeof line, "%-15s  %8u  %-8s  %s\n", "127.0.0.1", 8922u, "9.8.7",
                  "right?[2J");
    EXPECT_EQ(cli.Stdout(), "ADDRESS          TCP PORT  VERSION   HOST NAME\n" + std::string(line));
}

TEST(Discover, RefusesABadCommandLine) {
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--target"},
             {"--port", "0"},
             {"--timeout", "-1"},
             {"--timeout", "soon"},
             {"--bogus", "1"},
             {"--key", std::string(33, 'k')},
         }) {
        args.insert(args.begin(), {BinPath("pellomar-cli"), "discover"});
        std::string out, err;
        EXPECT_EQ(RunProgram(args, &out, &err, std::chrono::seconds(20)), 2) << args[2];
        EXPECT_NE(err.find("usage: pellomar-cli discover"), std::string::npos) << err;
    }
}

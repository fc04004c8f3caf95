// The GUI port's defences over real sockets: time-outs in every phase, the allow list, the
// per-source limit, and the 257th client served once silent clients have timed out.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <vector>

#include "base/Settings.h"
#include "guiserver/FrameTrans.h"
#include "guiserver/GuiListener.h"
#include "protocol/SysStatus.h"
#include "support/TestSupport.h"

using namespace testing_support;
using gui::Bytes;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

// The test server with `g` in force, and the defaults again afterwards.
class GuiPortTest : public ::testing::Test {
  protected:
    void Use(const GuiPortSettings& g) {
        SetGuiPortSettings(g);
        ep_ = TestServer();
    }
    void TearDown() override { SetGuiPortSettings(GuiPortSettings{}); }

    static GuiPortSettings Short() {
        GuiPortSettings g;
        g.idleTimeoutS = 1;
        g.sendTimeoutS = 1;
        return g;
    }
    plat::Socket Connect() const {
        return plat::Socket(plat::SockTcpConnect("127.0.0.1", ep_.port, 5000, nullptr, 0));
    }
    // True when an echo is answered whole.
    bool Echoes() const {
        gui::Reply r = gui::Exchange(ep_, gui::EchoRequest(4, "ping"));
        return r.ok && r.body == gui::EchoRequest(4, "ping");
    }

    ServerDirScope dir_;
    gui::Endpoint ep_;
};

// A client that stops delivering, in any phase, is closed after the idle time-out with one log
// line, and the port goes on serving.
TEST_F(GuiPortTest, AClientThatStopsDeliveringIsClosedInEveryPhase) {
    Use(Short());
    Bytes body = gui::EchoRequest(4, std::string(100, 'x'));
    Bytes frame = gui::Frame(body);
    const struct {
        const char* name;
        Bytes sent;
    } cases[] = {
        {"silent", {}},
        {"half a header", Bytes(frame.begin(), frame.begin() + 3)},
        {"half a body", Bytes(frame.begin(), frame.begin() + 5 + 40)},
        {"a large body cut short",
         [] {
             Bytes f = gui::Frame(gui::EchoRequest(4, std::string(10000, 'y')));
             return Bytes(f.begin(), f.begin() + 6000);
         }()},
    };
    for (const auto& c : cases) {
        const uint64_t before = GuiRefusedCount(GuiRefusal::TimedOut);
        plat::Socket s = Connect();
        ASSERT_TRUE(s.Valid());
        ASSERT_TRUE(SendAll(s.Get(), c.sent)) << c.name;
        const auto t0 = std::chrono::steady_clock::now();
        bool closed = false;
        Bytes got = RecvUntilClose(s.Get(), 10000, &closed);
        const auto took = std::chrono::steady_clock::now() - t0;
        EXPECT_TRUE(closed) << c.name;
        EXPECT_TRUE(got.empty()) << c.name;
        EXPECT_GE(took, milliseconds(900)) << c.name;
        EXPECT_EQ(GuiRefusedCount(GuiRefusal::TimedOut), before + 1) << c.name;
        EXPECT_TRUE(Echoes()) << c.name;
    }
    EXPECT_NE(dir_.Log().find("ServerGUITrans : no byte from the client for 1 s, connection "
                              "closed.\n"),
              std::string::npos);
}

// A reply the client never reads ends after the send time-out, with its log line.
TEST_F(GuiPortTest, AReaderThatNeverReadsIsClosedAfterTheSendTimeout) {
    SetGuiPortSettings(Short());
    auto [client, server] = LoopbackPair();
    int small = 4096;
    setsockopt(static_cast<int>(client.Get()), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    setsockopt(static_cast<int>(server.Get()), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ASSERT_TRUE(plat::SockSetTimeouts(server.Get(), 1000, 1000));
    std::vector<uint8_t> big(8 << 20, 0x5A);
    plat::SockFd fd = server.Release();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ByteTrans(fd, big.data(), static_cast<int32_t>(big.size()), GUI_DIR_SEND),
              SYSFAIL_TRANS_SOCKET_ERR);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, milliseconds(900));
    EXPECT_EQ(fd, plat::kInvalidSock);  // closed by the transfer
    EXPECT_NE(dir_.Log().find("ServerGUITrans : the client took no reply byte for 1 s, "
                              "connection closed.\n"),
              std::string::npos);
}

// Addresses left out of the allow list are closed at once and logged once a minute with a
// count; those in it are served.
TEST_F(GuiPortTest, TheAllowListDecidesAtAccept) {
    const struct {
        const char* allow;
        bool served;
    } cases[] = {
        {"127.0.0.1", true}, {"127.0.0.0/8", true}, {"127.0.0.2", false}, {"10.0.0.0/8", false}};
    for (const auto& c : cases) {
        GuiPortSettings g;
        g.allowAny = false;
        AddrRange r;
        ASSERT_TRUE(ParseAddrRange(c.allow, &r));
        g.allow = {r};
        Use(g);
        EXPECT_EQ(Echoes(), c.served) << c.allow;
    }
    const uint64_t before = GuiRefusedCount(GuiRefusal::NotAllowed);
    EXPECT_FALSE(Echoes());
    EXPECT_EQ(GuiRefusedCount(GuiRefusal::NotAllowed), before + 1);
    const std::string log = dir_.Log();
    const std::string line =
        "ThreadBuildGuiServer : connection from 127.0.0.1 refused, not in "
        "the allow list (1 since the last report).\n";
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_EQ(log.find(line), log.rfind(line)) << "logged more than once a minute";
}

// At most max_per_source live connections from one address; a freed place is taken again.
TEST_F(GuiPortTest, ThePerSourceLimitCountsLiveConnections) {
    GuiPortSettings g;
    g.maxPerSource = 2;
    Use(g);
    std::vector<plat::Socket> idle;
    for (int i = 0; i < 2; ++i)
        idle.push_back(Connect());
    ASSERT_TRUE(WaitFor([] { return GuiConnCount.load() == 2; })) << GuiConnCount.load();
    EXPECT_FALSE(Echoes());
    EXPECT_TRUE(WaitFor([&] {
        return dir_.Log().find("refused, too many connections from it") != std::string::npos;
    }));
    idle.pop_back();
    ASSERT_TRUE(WaitFor([] { return GuiConnCount.load() == 1; })) << GuiConnCount.load();
    EXPECT_TRUE(Echoes());
}

// 256 clients that connect and say nothing no longer lock a real client out: it is served once
// the idle time-out has closed them.
TEST_F(GuiPortTest, The257thClientIsServedAfterSilentClientsTimeOut) {
    Use(Short());
    std::vector<plat::Socket> silent;
    for (int i = 0; i < MAX_GUI_CONN; ++i) {
        silent.push_back(Connect());
        ASSERT_TRUE(silent.back().Valid());
    }
    ASSERT_TRUE(WaitFor([] { return GuiConnCount.load() == MAX_GUI_CONN; }, seconds(30)));
    gui::Endpoint ep = ep_;
    ep.timeoutMs = 20000;
    gui::Reply r = gui::Exchange(ep, gui::EchoRequest(4, "late"));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.body, gui::EchoRequest(4, "late"));
    EXPECT_TRUE(WaitFor([] { return GuiConnCount.load() == 0; }, seconds(30)));
}

}  // namespace

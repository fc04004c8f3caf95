// The listener under concurrent clients: the 256-thread cap and the connection count.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "guiserver/GuiListener.h"
#include "support/TestSupport.h"

using namespace testing_support;
using gui::Bytes;

TEST(ListenerConcurrency, The257thClientWaitsUntilOneOfThe256Ends) {
    ServerDirScope dir;
    gui::Endpoint ep = TestServer();
    std::vector<plat::Socket> silent;
    for (int i = 0; i < MAX_GUI_CONN; ++i) {
        silent.emplace_back(plat::SockTcpConnect("127.0.0.1", ep.port, 5000, nullptr, 0));
        ASSERT_TRUE(silent.back().Valid());
    }
    ASSERT_TRUE(
        WaitFor([] { return GuiConnCount.load() == MAX_GUI_CONN; }, std::chrono::seconds(30)))
        << GuiConnCount.load();

    // The 257th connection is completed by the network stack but gets no thread.
    plat::Socket late(plat::SockTcpConnect("127.0.0.1", ep.port, 5000, nullptr, 0));
    ASSERT_TRUE(late.Valid());
    Bytes req = {0x02, 0x04, 'l', 'a', 't', 'e'};
    ASSERT_TRUE(SendAll(late.Get(), gui::Frame(req)));
    uint8_t b;
    EXPECT_EQ(plat::SockRecvTimeout(late.Get(), &b, 1, 300), -2) << "served beyond the cap";
    EXPECT_EQ(GuiConnCount.load(), MAX_GUI_CONN);

    // One of the 256 goes away: the late client is served.
    silent.front().Reset();
    bool closed = false;
    Bytes got = RecvUntilClose(late.Get(), 30000, &closed);
    EXPECT_TRUE(closed);
    Bytes want = gui::Frame(req);
    EXPECT_EQ(got, want);

    silent.clear();
    EXPECT_TRUE(WaitFor([] { return GuiConnCount.load() == 0; }, std::chrono::seconds(30)))
        << GuiConnCount.load();
}

TEST(ListenerConcurrency, ConcurrentClientsAreAllServedAndTheCountReturnsToZero) {
    ServerDirScope dir;
    gui::Endpoint ep = TestServer();
    constexpr int kThreads = 8, kRequests = 150;
    std::atomic<int> good{0}, bad{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < kThreads; ++t) {
        clients.emplace_back([&, t] {
            for (int i = 0; i < kRequests; ++i) {
                std::string text = "client " + std::to_string(t) + " request " + std::to_string(i);
                // Every few requests a large one, so that large blocks are taken and freed too.
                if (i % 10 == 0) text.append(5000, static_cast<char>('a' + t));
                Bytes req = gui::EchoRequest(4, text);
                gui::Reply r = gui::Exchange(ep, req);
                (r.ok && r.body == req && r.closedAfter ? good : bad)++;
            }
        });
    }
    for (auto& c : clients)
        c.join();
    EXPECT_EQ(good.load(), kThreads * kRequests);
    EXPECT_EQ(bad.load(), 0);
    EXPECT_TRUE(WaitFor([] { return GuiConnCount.load() == 0; })) << GuiConnCount.load();
}

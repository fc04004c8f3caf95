// UDP sockets on the loopback address.
#include <cstring>
#include <string>

#include "platform/Socket.h"
#include "support/TestSupport.h"

namespace {

constexpr uint32_t kLoopback = 0x7F000001;

}  // namespace

TEST(SocketUdp, SendsAndReceivesWithThePeersAddressAndReportsCutDatagrams) {
    plat::Socket a(plat::SockUdpBind(kLoopback, 0, nullptr, nullptr, 0));
    plat::Socket b(plat::SockUdpBind(kLoopback, 0, nullptr, nullptr, 0));
    ASSERT_TRUE(a.Valid());
    ASSERT_TRUE(b.Valid());
    uint16_t aPort = plat::SockLocalPort(a.Get()), bPort = plat::SockLocalPort(b.Get());
    ASSERT_NE(aPort, 0);

    EXPECT_EQ(plat::SockUdpSendTo(a.Get(), kLoopback, bPort, "hello", 5, nullptr, 0), 5);
    char buf[16] = {};
    uint32_t from = 0;
    uint16_t fromPort = 0;
    char text[plat::SOCK_ADDR_TEXT_MAX] = {};
    ASSERT_EQ(
        plat::SockUdpRecvFrom(b.Get(), buf, sizeof buf, 5000, &from, &fromPort, text, sizeof text),
        5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(from, kLoopback);
    EXPECT_EQ(fromPort, aPort);
    EXPECT_STREQ(text, "127.0.0.1");

    // A datagram longer than the buffer: its real size comes back, only the start is stored.
    std::string big(100, 'x');
    ASSERT_EQ(plat::SockUdpSendTo(a.Get(), kLoopback, bPort, big.data(), 100, nullptr, 0), 100);
    char small[8];
    EXPECT_EQ(
        plat::SockUdpRecvFrom(b.Get(), small, sizeof small, 5000, nullptr, nullptr, nullptr, 0),
        100);
    // An empty datagram is a datagram; then nothing more: the time-out.
    ASSERT_EQ(plat::SockUdpSendTo(a.Get(), kLoopback, bPort, "", 0, nullptr, 0), 0);
    EXPECT_EQ(plat::SockUdpRecvFrom(b.Get(), buf, sizeof buf, 5000, nullptr, nullptr, nullptr, 0),
              0);
    EXPECT_EQ(plat::SockUdpRecvFrom(b.Get(), buf, sizeof buf, 50, nullptr, nullptr, nullptr, 0),
              -2);
}

TEST(SocketUdp, ATakenPortIsReportedAsInUse) {
    plat::Socket a(plat::SockUdpBind(kLoopback, 0, nullptr, nullptr, 0));
    ASSERT_TRUE(a.Valid());
    uint16_t port = plat::SockLocalPort(a.Get());
    bool inUse = false;
    char err[128] = {};
    plat::Socket b(plat::SockUdpBind(kLoopback, port, &inUse, err, sizeof err));
    EXPECT_FALSE(b.Valid());
    EXPECT_TRUE(inUse);
    EXPECT_NE(std::strstr(err, "bind"), nullptr) << err;
    // Every local address includes the loopback one: taken as well.
    plat::Socket c(plat::SockUdpBind(0, port, &inUse, nullptr, 0));
    EXPECT_FALSE(c.Valid());
    EXPECT_TRUE(inUse);
}

TEST(SocketUdp, AddressesAsTextResolvingAndBroadcastClassification) {
    char text[plat::SOCK_ADDR_TEXT_MAX];
    plat::SockAddrText(0xFFFFFFFF, text, sizeof text);
    EXPECT_STREQ(text, "255.255.255.255");
    char cut[4];
    plat::SockAddrText(kLoopback, cut, sizeof cut);
    EXPECT_STREQ(cut, "127");

    uint32_t addr = 0;
    char err[128] = {};
    ASSERT_TRUE(plat::SockResolveIpv4("127.0.0.1", &addr, err, sizeof err)) << err;
    EXPECT_EQ(addr, kLoopback);
    ASSERT_TRUE(plat::SockResolveIpv4("localhost", &addr, err, sizeof err)) << err;
    EXPECT_EQ(addr >> 24, 127u);
    EXPECT_FALSE(plat::SockResolveIpv4("", &addr, err, sizeof err));

    EXPECT_TRUE(plat::SockIsBroadcastAddr(0xFFFFFFFF));
    EXPECT_FALSE(plat::SockIsBroadcastAddr(kLoopback));

    char host[256];
    ASSERT_TRUE(plat::SockHostName(host, sizeof host));
    EXPECT_GT(std::strlen(host), 0u);
    char shortHost[2];
    ASSERT_TRUE(plat::SockHostName(shortHost, sizeof shortHost));
    EXPECT_EQ(shortHost[0], host[0]);
    EXPECT_EQ(shortHost[1], '\0');
}

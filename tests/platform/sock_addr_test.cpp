// The IPv4 address helpers shared by the socket implementations.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/SockAddr.h"

namespace {

TEST(SockAddr, DottedTextIsFourDecimalNumbersAndNothingElse) {
    struct Case {
        const char* text;
        bool ok;
        uint32_t addr;
    };
    const Case cases[] = {
        {"127.0.0.1", true, 0x7F000001},
        {"0.0.0.0", true, 0},
        {"255.255.255.255", true, 0xFFFFFFFF},
        {"10.20.30.40", true, 0x0A141E28},
        {"256.0.0.1", false, 0},
        {"1.2.3", false, 0},
        {"1.2.3.4.5", false, 0},
        {"1.2.3.4 ", false, 0},
        {" 1.2.3.4", false, 0},
        {"01.2.3.4", false, 0},
        {"1..3.4", false, 0},
        {"1.2.3.", false, 0},
        {"1.2.3.-4", false, 0},
        {"1.2.3.1000", false, 0},
        {"0x7f.0.0.1", false, 0},
        {"", false, 0},
        {"localhost", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t addr = 0xDEADBEEF;
        EXPECT_EQ(plat::ParseDottedV4(c.text, &addr), c.ok);
        EXPECT_EQ(addr, c.ok ? c.addr : 0xDEADBEEF);
    }
    EXPECT_FALSE(plat::ParseDottedV4(nullptr, nullptr));
}

TEST(SockAddr, AnAddressReadsBackAndOnlyAnIpv4OneReads) {
    const plat::SockAddrV4 a = plat::MakeSockAddrV4(0xC0A80102, 8922);
    // Network byte order on the wire.
    EXPECT_EQ(a.port[0], 0x22);
    EXPECT_EQ(a.port[1], 0xDA);
    EXPECT_EQ(a.addr[0], 0xC0);
    EXPECT_EQ(a.addr[3], 0x02);
    uint32_t addr = 1;
    uint16_t port = 1;
    ASSERT_TRUE(plat::ReadSockAddrV4(&a, sizeof a, &addr, &port));
    EXPECT_EQ(addr, 0xC0A80102u);
    EXPECT_EQ(port, 8922);

    EXPECT_FALSE(plat::ReadSockAddrV4(&a, 7, &addr, &port));  // too short
    plat::SockAddrV4 other = a;
    other.family = 23;  // not IPv4
    EXPECT_FALSE(plat::ReadSockAddrV4(&other, sizeof other, &addr, &port));
    EXPECT_EQ(addr, 0u);
    EXPECT_EQ(port, 0);
}

}  // namespace

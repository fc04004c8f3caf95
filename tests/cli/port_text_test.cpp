// The port parser the tools share.
#include <gtest/gtest.h>

#include <cstring>

#include "common/PortText.h"

namespace {

TEST(PortText, OneToFiveDigitsWithinTheRangeAndNothingElse) {
    struct Case {
        const char* text;
        uint16_t minPort;
        bool ok;
        uint16_t port;
    };
    const Case cases[] = {
        {"8922", 1, true, 8922}, {"1", 1, true, 1},      {"65535", 1, true, 65535},
        {"00025", 1, true, 25},  {"0", 0, true, 0},      {"0", 1, false, 0},
        {"65536", 1, false, 0},  {"99999", 0, false, 0}, {"000025", 1, false, 0},
        {"", 1, false, 0},       {"+25", 1, false, 0},   {"-1", 0, false, 0},
        {" 25", 1, false, 0},    {"25 ", 1, false, 0},   {"25x", 1, false, 0},
        {"2 5", 1, false, 0},    {"0x19", 0, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        uint16_t port = 7;
        EXPECT_EQ(port_text::ParsePort(c.text, &port, c.minPort), c.ok);
        EXPECT_EQ(port, c.ok ? c.port : 7);
        // The counted form reads the same text the same way.
        port = 7;
        EXPECT_EQ(port_text::ParsePort(c.text, std::strlen(c.text), &port, c.minPort), c.ok);
        EXPECT_EQ(port, c.ok ? c.port : 7);
    }
    // The counted form stops at its length: the port of "host:587" after the colon.
    const char server[] = "smtp.example.com:587";
    uint16_t port = 0;
    EXPECT_TRUE(port_text::ParsePort(server + 17, 3, &port));
    EXPECT_EQ(port, 587);
    EXPECT_FALSE(port_text::ParsePort(server, 4, &port));
    EXPECT_FALSE(port_text::ParsePort(nullptr, &port));
}

}  // namespace

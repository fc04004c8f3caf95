// pellomar-cli's configuration commands against a stand-in agent on loopback that answers every
// request as the test says: failure replies become clear messages and exit status 1, and a bad
// command line gets exit status 2 before anything is sent.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "cli/CannedAgent.h"
#include "platform/Socket.h"
#include "support/TestSupport.h"

using namespace testing_support;
using gui::Bytes;

namespace {

int Cli(uint16_t port, std::vector<std::string> args, std::string* out, std::string* err) {
    args.insert(args.begin(), {BinPath("pellomar-cli"), "--port", std::to_string(port)});
    return RunProgram(args, out, err, std::chrono::seconds(60));
}

// The failure reply of a configuration request.
Bytes Fail(const Bytes& req, uint8_t status) {
    return {2, 2, req.size() > 2 ? req[2] : uint8_t{0}, status};
}

TEST(ConfigCli, FailureRepliesGiveAClearMessageAndExitStatus1) {
    struct Case {
        std::vector<std::string> args;
        std::function<Bytes(const Bytes&)> answer;
        const char* message;
    } cases[] = {
        {{"mail", "list"},
         [](const Bytes& r) { return Fail(r, 0x70); },
         "failure reply to configuration code 2: status 0x70, slot out of range"},
        {{"mail", "set", "0", "a@example.com"},
         [](const Bytes& r) { return Fail(r, 0x62); },
         "status 0x62, the text is longer than the agent stores"},
        {{"mail", "clear", "4"}, [](const Bytes& r) { return Fail(r, 0x70); }, "status 0x70"},
        {{"mail", "server"},
         [](const Bytes& r) { return Fail(r, 0x60); },
         "failure reply to configuration code 5: status 0x60, the agent does not know this "
         "configuration code"},
        {{"mail", "server", "set", "6", "x"},
         [](const Bytes& r) { return Fail(r, 0x64); },
         "status 0x64"},
        {{"mail", "enable", "on"}, [](const Bytes& r) { return Fail(r, 0x63); }, "status 0x63"},
        {{"controllers"},
         [](const Bytes& r) { return Fail(r, 0x60); },
         "failure reply to configuration code 3: status 0x60"},
        // A reply of another code, or one cut short, is no answer.
        {{"mail", "enable", "off"},
         [](const Bytes&) {
             return Bytes{2, 2, 13, 0x50};
         },
         "unexpected reply to configuration code 14: 0202"},
        {{"mail", "list"},
         [](const Bytes& r) { return Bytes{2, 2, r[2], 0x50, r[4], 9, 'a'}; },
         "unexpected reply to configuration code 2"},
        {{"mail", "server"}, [](const Bytes&) { return Bytes{}; }, "pellomar-cli: 127.0.0.1:"},
        // Every slot: no controller has it.
        {{"clear-events", "SN-NOBODY"},
         [](const Bytes& r) { return Fail(r, 0x61); },
         "no live controller has the serial number 'SN-NOBODY'; nothing was cleared"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        CannedAgent agent(c.answer);
        std::string out, err;
        EXPECT_EQ(Cli(agent.port(), c.args, &out, &err), 1) << out << err;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
}

TEST(ConfigCli, ControllersThatVanishAfterTheCountAreShownAsGone) {
    CannedAgent agent([](const Bytes& r) -> Bytes {
        if (r[2] == 3) return {2, 2, 3, 0x50, 2};
        if (r[2] == 4 && r[4] == 1) return Fail(r, 0x61);
        if (r[2] == 4) {
            Bytes b = {2, 2, 4, 0x50, 'S', 'N', '-', 'A'};
            b.resize(23, 0);
            return b;
        }
        Bytes b(112, 0);  // code 18 of number 0
        const std::string text = "Server:0@1SN-A@2LocalHost@3-1@42@5R 1@6V2@71aGuiSrvEnd";
        b[1] = 2;
        b[2] = 18;
        b[3] = 0x50;
        b[5] = 1;
        std::copy(text.begin(), text.end(), b.begin() + 6);
        return b;
    });
    std::string out, err;
    ASSERT_EQ(Cli(agent.port(), {"controllers"}, &out, &err), 0) << err;
    EXPECT_EQ(out,
              "2 controllers\n"
              "NO  SERIAL                  HOST       IDENT95  IDENT107  MODEL  FIRMWARE  PAGE20\n"
              "0   SN-A                    LocalHost  -1       2         R 1    V2        1a\n"
              "1   (gone since the count)\n");
}

TEST(ConfigCli, BadCommandLinesExitWith2AndSendNothing) {
    const std::string long128(128, 'a'), long64(64, 'b');
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"mail"}, "usage: pellomar-cli mail list"},
        {{"mail", "bogus"}, "usage: pellomar-cli mail set SLOT ADDRESS"},
        {{"mail", "list", "extra"}, "usage:"},
        {{"mail", "set", "12", "a@b"}, "SLOT is a number from 0 to 11, not '12'"},
        {{"mail", "set", "-1", "a@b"}, "SLOT is a number from 0 to 11"},
        {{"mail", "set", "x", "a@b"}, "SLOT is a number from 0 to 11"},
        {{"mail", "set", "0"}, "usage:"},
        {{"mail", "set", "0", ""}, "use 'mail clear 0'"},
        {{"mail", "set", "0", "a b@c"}, "may not contain blanks or control characters"},
        {{"mail", "set", "0", long128}, "has 128 characters; the agent stores at most 127"},
        {{"mail", "set", "0", "nope"},
         "'nope' is no mail address (name@example.com; NULL for none)"},
        {{"mail", "set", "0", "a@-b.example"}, "is no mail address"},
        {{"mail", "clear", "12"}, "SLOT is a number from 0 to 11"},
        {{"mail", "server", "set", "5", "TRUE"}, "item 5 is the mail switch: use 'mail enable"},
        {{"mail", "server", "set", "7", "x"}, "ITEM is 1, 2, 3, 4 or 6, not '7'"},
        {{"mail", "server", "set", "0", "x"}, "ITEM is 1, 2, 3, 4 or 6"},
        {{"mail", "server", "set", "1"}, "usage:"},
        {{"mail", "server", "set", "1", long128}, "item 1 has 128 characters"},
        {{"mail", "server", "set", "3", long64},
         "item 3 has 64 characters; the agent stores at most 63"},
        {{"mail", "server", "set", "6", long64}, "at most 63"},
        {{"mail", "server", "set", "4", "pass word"}, "item 4 may not contain blanks"},
        {{"mail", "server", "set", "2", "agent@"},
         "the sender 'agent@' is no mail address (agent@example.com)"},
        {{"mail", "server", "bogus"}, "usage:"},
        {{"mail", "enable", "maybe"}, "usage: pellomar-cli mail enable on|off"},
        {{"mail", "enable"}, "usage:"},
        {{"controllers", "extra"}, "usage: pellomar-cli controllers"},
        {{"controllers", "--rescan"}, "usage: pellomar-cli controllers"},
        {{"controllers", "--", "--no-rescan"}, "usage: pellomar-cli controllers"},
        {{"clear-events"}, "usage: pellomar-cli clear-events SERIAL"},
        {{"clear-events", ""}, "a serial number has 1 to 19 characters"},
        {{"clear-events", "SN-01234567890123456"}, "a serial number has 1 to 19 characters"},
    };
    CannedAgent agent([](const Bytes& r) { return Fail(r, 0x60); });
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::string out, err;
        EXPECT_EQ(Cli(agent.port(), c.args, &out, &err), 2) << out << err;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
    EXPECT_TRUE(agent.Requests().empty());
}

// A peer that never reads (an agent whose connection threads are all busy leaves new
// connections in the backlog) cannot hold a large request's sender past its time-out.
TEST(GuiClient, ASendThatThePeerNeverTakesTimesOut) {
    char err[128];
    plat::Socket listener(plat::SockTcpListen(0x7F000001, 0, 4, err, sizeof err));
    ASSERT_TRUE(listener.Valid()) << err;
    gui::Endpoint ep;
    ep.port = plat::SockLocalPort(listener.Get());
    ep.timeoutMs = 1000;
    // Far more than loopback buffers hold for a connection nobody accepts.
    const Bytes body(64u << 20, 0x5A);
    const gui::Reply r = gui::Exchange(ep, body);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "timed out while sending the request");
}

}  // namespace

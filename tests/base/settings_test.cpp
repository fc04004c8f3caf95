// The settings file: what each key does, and that every fault is reported with its place and
// leaves the GUI port to loopback clients.
#include <gtest/gtest.h>

#include <string>

#include "base/Settings.h"
#include "support/TestSupport.h"

namespace {

constexpr uint32_t kLoopback = 0x7F000001;

AgentSettings Parse(const std::string& text) {
    return ParseAgentSettings(text, "/etc/x/pellomar.conf");
}

TEST(Settings, AMissingFileGivesTheDefaults) {
    testing_support::TempDir dir;
    const AgentSettings s = LoadAgentSettings(dir.File("pellomar.conf").c_str());
    EXPECT_FALSE(s.found);
    EXPECT_TRUE(s.Ok());
    EXPECT_EQ(s.gui.listenAddr, 0u);
    EXPECT_TRUE(s.gui.allowAny);
    EXPECT_EQ(s.gui.maxPerSource, 0u);
    EXPECT_EQ(s.gui.idleTimeoutS, 60u);
    EXPECT_EQ(s.gui.sendTimeoutS, 60u);
    EXPECT_TRUE(s.gui.Allows(0x0A000001));
}

TEST(Settings, EveryGuiKeyIsRead) {
    const AgentSettings s = Parse(R"(
# a comment
[gui]
listen = "127.0.0.1"
allow = ["127.0.0.1", "10.1.0.0/16", "192.168.7.9/32"]
max_per_source = 4
idle_timeout_s = 0
send_timeout_s = 15
)");
    ASSERT_TRUE(s.Ok()) << s.faults[0];
    EXPECT_EQ(s.gui.listenAddr, kLoopback);
    EXPECT_FALSE(s.gui.allowAny);
    ASSERT_EQ(s.gui.allow.size(), 3u);
    EXPECT_EQ(s.gui.maxPerSource, 4u);
    EXPECT_EQ(s.gui.idleTimeoutS, 0u);
    EXPECT_EQ(s.gui.sendTimeoutS, 15u);
    const struct {
        uint32_t addr;
        bool allowed;
    } cases[] = {{kLoopback, true},   {0x7F000002, false}, {0x0A010000, true}, {0x0A01FFFF, true},
                 {0x0A020000, false}, {0xC0A80709, true},  {0xC0A80708, false}};
    for (const auto& c : cases)
        EXPECT_EQ(s.gui.Allows(c.addr), c.allowed) << std::hex << c.addr;
    EXPECT_NE(DescribeAgentSettings(s).find(
                  "gui.allow = [\"127.0.0.1\", \"10.1.0.0/16\", \"192.168.7.9\"]"),
              std::string::npos);
}

TEST(Settings, PathsAreAbsoluteFoldersWithoutTrailingSeparator) {
    const AgentSettings s = Parse(
        "[paths]\nstate_dir = \"/srv/p/state/\"\nlog_dir = \"/srv/p/log\"\nprogram_dir = \"/\"\n");
    ASSERT_TRUE(s.Ok()) << s.faults[0];
    EXPECT_EQ(s.paths.stateDir, "/srv/p/state");
    EXPECT_EQ(s.paths.logDir, "/srv/p/log");
    EXPECT_EQ(s.paths.programDir, "/");
}

// The file names of [metrics], [mail] and [hook], and each way of repeating mail.
TEST(Settings, FileNamesAndTheRepeatOfMailAreRead) {
    const AgentSettings s = Parse(
        "[metrics]\ntextfile = \"/var/lib/node/pellomar.prom\"\n"
        "[mail]\nca_file = \"/etc/pellomar/ca.pem\"\n"
        "[hook]\nprogram = \"/usr/local/bin/chat-hook\"\n");
    ASSERT_TRUE(s.Ok()) << s.faults[0];
    EXPECT_EQ(s.metrics.textfile, "/var/lib/node/pellomar.prom");
    EXPECT_EQ(s.mail.caFile, "/etc/pellomar/ca.pem");
    EXPECT_EQ(s.hook.program, "/usr/local/bin/chat-hook");
    const struct {
        const char* name;
        MailRepeat repeat;
    } repeats[] = {{"always", MailRepeat::Always},
                   {"once", MailRepeat::Once},
                   {"daily", MailRepeat::Daily},
                   {"diminishing", MailRepeat::Diminishing}};
    for (const auto& r : repeats) {
        const AgentSettings m = Parse(std::string("[mail]\nrepeat = \"") + r.name + "\"\n");
        ASSERT_TRUE(m.Ok()) << m.faults[0];
        EXPECT_EQ(m.mail.repeat, r.repeat) << r.name;
        EXPECT_NE(DescribeAgentSettings(m).find(std::string("mail.repeat = \"") + r.name + "\""),
                  std::string::npos)
            << r.name;
    }
}

TEST(Settings, AnEmptyAllowListLetsNobodyIn) {
    const AgentSettings s = Parse("[gui]\nallow = []\n");
    ASSERT_TRUE(s.Ok());
    EXPECT_FALSE(s.gui.Allows(kLoopback));
}

// Each fault names the file, its line and column and the reason, and leaves the GUI port to
// loopback clients, whatever else the file said.
TEST(Settings, AFaultIsReportedWithItsPlaceAndLimitsThePortToLoopback) {
    const struct {
        const char* text;
        const char* where;   // file:line:
        const char* reason;  // part of the fault's text
    } cases[] = {
        {"[gui]\nlisten = \"0.0.0.0\"\nalow = [\"10.0.0.1\"]\n", ":3:", "unknown key gui.alow"},
        {"[gui\nlisten = 1\n", ":1:", ""},
        {"[gui]\nlisten = \"10.0.0.0/8\"\n", ":2:", "gui.listen must be one IPv4 address"},
        {"[gui]\nlisten = \"::1\"\n", ":2:", "gui.listen"},
        {"[gui]\nallow = [\"10.0.0.1\", \"10.0.0.300\"]\n", ":2:", "gui.allow entries"},
        {"[gui]\nallow = [\"10.0.0.0/33\"]\n", ":2:", "gui.allow entries"},
        {"[gui]\nallow = [\" 10.0.0.1\"]\n", ":2:", "gui.allow entries"},
        {"[gui]\nallow = \"10.0.0.1\"\n", ":2:", "gui.allow must be a list"},
        {"[gui]\nidle_timeout_s = -1\n", ":2:", "gui.idle_timeout_s must be a whole number"},
        {"[gui]\nsend_timeout_s = \"60\"\n", ":2:", "gui.send_timeout_s"},
        {"[gui]\nmax_per_source = 1000\n", ":2:", "gui.max_per_source"},
        {"[gi]\nlisten = \"127.0.0.1\"\n", ":1:", "unknown section or key gi"},
        {"gui = 3\n", ":1:", "gui must be a section"},
        {"[gui]\nlisten = \"127.0.0.1\"\nlisten = \"127.0.0.2\"\n", ":3:", ""},
        {"[paths]\nstate_dir = \"var/lib\"\n", ":2:", "paths.state_dir must be an absolute folder"},
        {"[paths]\nlogdir = \"/var/log\"\n", ":2:", "unknown key paths.logdir"},
        // A file name is absolute and does not end in '/'; a hook program is a POSIX path.
        {"[metrics]\ntextfile = \"/var/lib/node/\"\n",
         ":2:", "metrics.textfile must be an absolute file name"},
        {"[mail]\nca_file = \"ca.pem\"\n", ":2:", "mail.ca_file must be an absolute file name"},
        {"[mail]\nca_file = \"/etc/ssl/certs/\"\n",
         ":2:", "mail.ca_file must be an absolute file name"},
        {"[hook]\nprogram = \"\"\n", ":2:", "hook.program must be an absolute file name"},
        {"[hook]\nprogram = \"bin/hook\"\n", ":2:", "hook.program must be an absolute file name"},
        {"[hook]\nprogram = \"/usr/local/bin/\"\n",
         ":2:", "hook.program must be an absolute file name"},
        {"[hook]\nprogram = \"C:\\\\hook.exe\"\n",
         ":2:", "hook.program must be an absolute file name"},
        {"[mail]\nrepeat = \"weekly\"\n", ":2:", "mail.repeat must be \"always\""},
        // A table header without a key is a fault like any other, also where assertions are on.
        {"[\n", ":1:", "expected bare key"},
        {"[gui]\n[#\n", ":2:", "expected bare key"},
        {"[[=]]\n", ":1:", "expected bare key"},
        // Characters beyond ASCII outside comments and strings, each at its own column.
        {"f\xC3\xBC\xC3\xBCr = 1\n", ":1:2:", ""},
        {"[gui]\nlisten = \"127.0.0.1\" \xC3\xA9\n", ":2:22:", ""},
        {"\xEF\xBB\xAF = 1\n", ":1:1:", ""},
        {"[gui]\nlisten = \"127.0.0.\xC2\xB9\"\n", ":2:", "gui.listen must be one IPv4 address"},
        {"# \xFF\n", ":1:", ""},  // not UTF-8
    };
    for (const auto& c : cases) {
        const AgentSettings s = Parse(c.text);
        ASSERT_FALSE(s.Ok()) << c.text;
        EXPECT_EQ(s.faults[0].rfind(std::string("/etc/x/pellomar.conf") + c.where, 0), 0u)
            << c.text << " -> " << s.faults[0];
        EXPECT_NE(s.faults[0].find(c.reason), std::string::npos) << c.text << " -> " << s.faults[0];
        EXPECT_EQ(s.gui.listenAddr, kLoopback) << c.text;
        EXPECT_TRUE(s.gui.Allows(kLoopback)) << c.text;
        EXPECT_FALSE(s.gui.Allows(0x0A000001)) << c.text;
    }
}

// Comments may hold any character, and a file may start with a byte order mark.
TEST(Settings, CommentsBeyondAsciiAndAByteOrderMarkAreRead) {
    const AgentSettings s = Parse(
        "\xEF\xBB\xBF# Zugriff f\xC3\xBCr das B\xC3\xBCro \xE2\x80\x94 \xF0\x9F\x94\x92\n"
        "[gui]\nlisten = \"10.1.2.3\"  # \xC3\xA9\xE3\x80\x80\n");
    ASSERT_TRUE(s.Ok()) << s.faults[0];
    EXPECT_EQ(s.gui.listenAddr, 0x0A010203u);
}

TEST(Settings, AddressRanges) {
    const struct {
        const char* text;
        bool ok;
        uint32_t addr;
        uint8_t prefix;
    } cases[] = {{"1.2.3.4", true, 0x01020304, 32},
                 {"10.1.0.0/16", true, 0x0A010000, 16},
                 {"0.0.0.0/0", true, 0, 0},
                 {"255.255.255.255", true, 0xFFFFFFFF, 32},
                 {"1.2.3", false, 0, 0},
                 {"1.2.3.4.5", false, 0, 0},
                 {"1..3.4", false, 0, 0},
                 {"1.2.3.4/", false, 0, 0},
                 {"1.2.3.4/8x", false, 0, 0},
                 {"-1.2.3.4", false, 0, 0},
                 {"1.2.3.4 ", false, 0, 0},
                 {"0001.2.3.4", false, 0, 0},
                 {"", false, 0, 0},
                 {"1.2.3.4/100", false, 0, 0}};
    for (const auto& c : cases) {
        AddrRange r;
        EXPECT_EQ(ParseAddrRange(c.text, &r), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(r.addr, c.addr) << c.text;
            EXPECT_EQ(r.prefix, c.prefix) << c.text;
        }
    }
}

}  // namespace

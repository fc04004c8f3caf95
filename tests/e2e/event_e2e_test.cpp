// The real agent polling the real pellomar-sim: injected events reach the event files, the
// history that survives a restart, `pellomar-cli history` in delivery order, and
// `pellomar-cli events` oldest first.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "support/SimProcess.h"
#include "support/TestSupport.h"

using namespace testing_support;
using nlohmann::json;

namespace {

constexpr const char* kSn = "E2E-EVENTS-0001";   // primary unit of port 0
constexpr const char* kSn2 = "E2E-EVENTS-0002";  // secondary unit 1 of port 0

// Event i of the test: a LUN change whose bytes 2 and 3 hold i; 64 hex digits.
std::string EventHex(int i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "1400%02x%02x", i & 0xFF, (i >> 8) & 0xFF);
    return buf + std::string(56, '0');
}

int Cli(const std::vector<std::string>& args, std::string* out, std::string* err) {
    std::vector<std::string> argv = {BinPath("pellomar-cli")};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, out, err, std::chrono::seconds(60));
}

class AgentEvents : public ::testing::Test {
  protected:
    void SetUp() override {
        json cfg = {
            {"ports",
             {{{"port", 0},
               {"units", {{{"unit", 0}, {"serial", kSn}}, {{"unit", 1}, {"serial", kSn2}}}}}}}};
        ASSERT_TRUE(sim_.Start(agent_.dir() + "/dev", cfg));
        ASSERT_TRUE(agent_.Start());
    }
    void TearDown() override {
        if (agent_.process().Running()) {
            EXPECT_EQ(agent_.Stop(), 0);
        }
        sim_.Stop();
    }
    void Inject(int unit, const std::string& hex) {
        json r = sim_.Ctl({{"cmd", "inject-event"}, {"port", 0}, {"unit", unit}, {"hex", hex}});
        ASSERT_TRUE(r.value("ok", false)) << r.dump();
    }
    // The lines of a current-directory event file of the agent (its folder here).
    std::vector<std::string> CwdLines(const std::string& name) const {
        return SplitLines(ReadFile(agent_.dir() + "/" + name));
    }

    AgentProcess agent_;
    SimProcess sim_;
};

TEST_F(AgentEvents, InjectedEventsReachTheFilesTheHistoryAndTheQueueInOrder) {
    constexpr int kEvents = 6;
    for (int i = 1; i <= kEvents; ++i)
        Inject(0, EventHex(i));
    Inject(1, "0400");  // the secondary unit: a boot event, fetched with its own code
    const std::string hexLog = std::string("event_bin_") + kSn;
    ASSERT_TRUE(
        WaitFor([&] { return CwdLines(hexLog).size() == kEvents; }, std::chrono::seconds(30)))
        << agent_.Log();
    ASSERT_TRUE(WaitFor([&] { return CwdLines(std::string("event_bin_") + kSn2).size() == 1; }));

    // The current-directory logs, in delivery order.
    const auto hex = CwdLines(hexLog);
    const auto text = CwdLines(std::string("event_") + kSn);
    ASSERT_EQ(text.size(), static_cast<size_t>(kEvents));
    const std::string serialPart = std::string("\\") + kSn + "\\";
    for (int i = 1; i <= kEvents; ++i) {
        const std::string& h = hex[static_cast<size_t>(i - 1)];
        ASSERT_EQ(h.substr(17, serialPart.size()), serialPart) << h;
        EXPECT_EQ(h.substr(17 + serialPart.size()), EventHex(i));
        EXPECT_EQ(text[static_cast<size_t>(i - 1)].substr(17 + serialPart.size()),
                  "LUN " + std::to_string(i) + " is changed.");
    }
    EXPECT_EQ(CwdLines(std::string("event_") + kSn2).at(0).substr(17),
              std::string("\\") + kSn2 + "\\System Boot up OK.");

    // pellomar-cli history: oldest first, each with its date, serial, bytes and text.
    std::string out, err;
    ASSERT_EQ(Cli({"history", kSn}, &out, &err), 0) << err;
    auto entries = SplitLines(out);
    ASSERT_EQ(entries.size(), static_cast<size_t>(kEvents)) << out;
    for (int i = 1; i <= kEvents; ++i) {
        const std::string& e = entries[static_cast<size_t>(i - 1)];
        const std::string date = hex[static_cast<size_t>(i - 1)].substr(0, 8) + " " +
                                 hex[static_cast<size_t>(i - 1)].substr(9, 8);
        EXPECT_EQ(e, date + "  " + kSn + "  " + EventHex(i).substr(0, 56) + "  LUN " +
                         std::to_string(i) + " is changed.");
    }
    ASSERT_EQ(Cli({"history", kSn, "--newest-first"}, &out, &err), 0) << err;
    EXPECT_EQ(SplitLines(out).front(), entries.back());

    // pellomar-cli events: the queued events, oldest first, then none.
    for (int i = 1; i <= 2; ++i) {
        ASSERT_EQ(Cli({"events", kSn}, &out, &err), 0) << err;
        EXPECT_EQ(out, EventHex(i) + "\nLUN " + std::to_string(i) + " is changed.\n");
    }
    ASSERT_EQ(Cli({"events", kSn2}, &out, &err), 0) << err;
    EXPECT_EQ(out, "04" + std::string(62, '0') + "\nSystem Boot up OK.\n");
    ASSERT_EQ(Cli({"events", kSn2}, &out, &err), 0) << err;
    EXPECT_EQ(out, std::string("no event queued for ") + kSn2 + "\n");
    // An unknown serial number fails clearly.
    EXPECT_EQ(Cli({"events", "NO-SUCH-SERIAL"}, &out, &err), 1);
    EXPECT_NE(err.find("no live controller has the serial number 'NO-SUCH-SERIAL'"),
              std::string::npos)
        << err;

    // After a restart the history comes back from ServerDir; the rest of the queue doesn't.
    ASSERT_EQ(agent_.Stop(), 0);
    const auto history = SplitLines(ReadFile(agent_.dir() + "/event_bin_" + kSn + ".txt"));
    EXPECT_EQ(history, hex);
    ASSERT_TRUE(agent_.Start());
    ASSERT_EQ(Cli({"history", kSn}, &out, &err), 0) << err;
    EXPECT_EQ(SplitLines(out), entries);
    EXPECT_EQ(SplitLines(ReadFile(agent_.dir() + "/event_bin_" + kSn + ".txt")), hex);
    ASSERT_EQ(Cli({"events", kSn}, &out, &err), 0) << err;
    EXPECT_EQ(out, std::string("no event queued for ") + kSn + "\n");

    // Events after the restart go on being recorded after the old ones.
    Inject(0, EventHex(7));
    ASSERT_TRUE(WaitFor([&] { return CwdLines(hexLog).size() == kEvents + 1; }));
    ASSERT_EQ(Cli({"history", kSn}, &out, &err), 0) << err;
    entries = SplitLines(out);
    ASSERT_EQ(entries.size(), static_cast<size_t>(kEvents + 1));
    EXPECT_NE(entries.back().find("LUN 7 is changed."), std::string::npos);
}

TEST_F(AgentEvents, WatchPrintsQueuedEventsAndEndsOnInterruptOrWhenTheAgentGoes) {
    ChildProcess watch;
    ASSERT_TRUE(watch.Start({BinPath("pellomar-cli"), "watch", kSn}));
    Inject(0, EventHex(1));
    Inject(0, EventHex(2));
    ASSERT_TRUE(
        WaitFor([&] { return SplitLines(watch.Stdout()).size() == 2; }, std::chrono::seconds(30)))
        << watch.Stdout() << watch.Stderr();
    auto shown = SplitLines(watch.Stdout());
    EXPECT_NE(shown[0].find(EventHex(1) + "  LUN 1 is changed."), std::string::npos) << shown[0];
    EXPECT_NE(shown[1].find(EventHex(2) + "  LUN 2 is changed."), std::string::npos) << shown[1];
    watch.Signal(SIGINT);
    EXPECT_EQ(watch.Wait(std::chrono::seconds(10)), 0);

    // The agent goes away: one clear message, exit 1.
    ChildProcess watch2;
    ASSERT_TRUE(watch2.Start({BinPath("pellomar-cli"), "watch", kSn}));
    Inject(0, EventHex(3));
    ASSERT_TRUE(WaitFor([&] { return SplitLines(watch2.Stdout()).size() == 1; }));
    ASSERT_EQ(agent_.Stop(), 0);
    EXPECT_EQ(watch2.Wait(std::chrono::seconds(20)), 1);
    const auto err = SplitLines(watch2.Stderr());
    ASSERT_EQ(err.size(), 2u) << watch2.Stderr();
    EXPECT_EQ(err[1].rfind("pellomar-cli: lost the agent at 127.0.0.1:8922: ", 0), 0u) << err[1];
}

}  // namespace

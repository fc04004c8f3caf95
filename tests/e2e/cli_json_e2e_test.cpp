// pellomar-cli --json against the real agent in front of pellomar-sim: the controllers as the
// simulator describes its units, and injected events with their class and severity in the
// recorded history and as they are watched.
#include <csignal>
#include <string>
#include <vector>

#include "support/SimProcess.h"
#include "support/TestSupport.h"

using namespace testing_support;
using Json = nlohmann::ordered_json;

namespace {

constexpr const char* kSn = "JSON-E2E-0001";   // primary unit of port 0, the simulator's defaults
constexpr const char* kSn2 = "JSON-E2E-0002";  // secondary unit 1 of port 0

Json Parse(const std::string& line) {
    Json j = Json::parse(line, nullptr, false);
    EXPECT_TRUE(j.is_object()) << line;
    return j;
}

class CliJsonE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        const nlohmann::json cfg = {{"ports",
                                     {{{"port", 0},
                                       {"units",
                                        {{{"unit", 0}, {"serial", kSn}},
                                         {{"unit", 1},
                                          {"serial", kSn2},
                                          {"model", "PM-800"},
                                          {"firmware", "FW-2.4.0"},
                                          {"ident95", 255},
                                          {"ident107", 5},
                                          {"page20", 26}}}}}}}};
        ASSERT_TRUE(sim_.Start(agent_.dir() + "/dev", cfg));
        ASSERT_TRUE(agent_.Start());
    }
    void TearDown() override {
        EXPECT_EQ(agent_.Stop(), 0);
        sim_.Stop();
    }

    // Runs pellomar-cli, expecting exit 0; its standard output.
    std::string Cli(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {BinPath("pellomar-cli")};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out, err;
        EXPECT_EQ(RunProgram(argv, &out, &err), 0) << testing::PrintToString(args) << out << err;
        return out;
    }
    // Injects a named event into the primary unit through the simulator's command line.
    void Inject(const std::string& name) {
        std::string out, err;
        ASSERT_EQ(RunProgram({BinPath("pellomar-sim"), "ctl", "--dir", agent_.dir() + "/dev",
                              "inject-event", "0", "0", "--name", name, "--a", "0", "--b", "5"},
                             &out, &err),
                  0)
            << out << err;
    }

    AgentProcess agent_;
    SimProcess sim_;
};

TEST_F(CliJsonE2e, ControllersCarryTheFieldsOfTheirDescriptions) {
    const std::vector<std::string> lines = SplitLines(Cli({"controllers", "--json"}));
    ASSERT_EQ(lines.size(), 1u);
    const Json j = Parse(lines[0]);
    EXPECT_EQ(j, (Json{{"count", 2},
                       {"rescanned", true},
                       {"controllers",
                        {{{"number", 0},
                          {"serial", kSn},
                          {"present", true},
                          {"description", std::string("Server:0@1") + kSn +
                                              "@2LocalHost@38@42@5PM-1600 RAID@6FW 3.7.1@710"
                                              "GuiSrvEnd"},
                          {"host", "LocalHost"},
                          {"ident95", 8},
                          {"ident107", 2},
                          {"model", "PM-1600 RAID"},
                          {"firmware", "FW 3.7.1"},
                          {"unit_byte", 0x10},
                          {"role", "primary"},
                          {"relay_failures", 0}},
                         {{"number", 1},
                          {"serial", kSn2},
                          {"present", true},
                          {"description", std::string("Server:1@1") + kSn2 +
                                              "@2LocalHost@3-1@45@5PM-800@6FW-2.4.0@71aGuiSrvEnd"},
                          {"host", "LocalHost"},
                          {"ident95", -1},
                          {"ident107", 5},
                          {"model", "PM-800"},
                          {"firmware", "FW-2.4.0"},
                          {"unit_byte", 0x1a},
                          {"role", "secondary 1"},
                          {"relay_failures", 0}}}}}))
        << lines[0];
}

// --no-rescan reads the agent's table as it stands: the same controllers, and no rescan (which
// asks every controller to identify itself) in the agent's log.
TEST_F(CliJsonE2e, ControllersWithoutARescanListTheTableAsItStands) {
    auto rescans = [&] {
        const std::string log = agent_.Log();
        size_t n = 0;
        for (size_t at = log.find("RescanCtlr : "); at != std::string::npos;
             at = log.find("RescanCtlr : ", at + 1))
            ++n;
        return n;
    };
    Json rescanned = Parse(SplitLines(Cli({"controllers", "--json"})).at(0));
    const size_t before = rescans();
    ASSERT_GT(before, 0u);
    const Json asIs = Parse(SplitLines(Cli({"--json", "controllers", "--no-rescan"})).at(0));
    EXPECT_EQ(rescans(), before);
    EXPECT_EQ(asIs["rescanned"], false);
    EXPECT_EQ(asIs["count"], 2);
    EXPECT_EQ(asIs["controllers"], rescanned["controllers"]);
    EXPECT_EQ(Cli({"controllers", "--no-rescan"}).substr(0, 14), "2 controllers\n");
    EXPECT_EQ(rescans(), before);
    Cli({"controllers"});
    EXPECT_GT(rescans(), before);
}

TEST_F(CliJsonE2e, HistoryAndWatchGiveEachEventItsClassAndSeverity) {
    ChildProcess watch;
    ASSERT_TRUE(watch.Start({BinPath("pellomar-cli"), "watch", kSn, "--json"}));
    Inject("disk-offline");
    Inject("disk-online");
    ASSERT_TRUE(
        WaitFor([&] { return SplitLines(watch.Stdout()).size() == 2; }, std::chrono::seconds(30)))
        << watch.Stdout() << watch.Stderr();
    watch.Signal(SIGINT);
    EXPECT_EQ(watch.Wait(std::chrono::seconds(10)), 0);
    EXPECT_EQ(watch.Stderr(), "");

    // Watched: the 32 bytes, as they were taken.
    const std::vector<std::string> watched = SplitLines(watch.Stdout());
    ASSERT_EQ(watched.size(), 2u);
    const Json offline = Parse(watched[0]), online = Parse(watched[1]);
    EXPECT_EQ(offline["serial"], kSn);
    EXPECT_EQ(offline["hex"], "0300000501" + std::string(54, '0'));
    EXPECT_EQ(offline["class"], "disk");
    EXPECT_EQ(offline["severity"], "critical");
    EXPECT_EQ(offline["recovery"], false);
    EXPECT_EQ(online["class"], "disk");
    EXPECT_EQ(online["severity"], "info");
    EXPECT_EQ(online["recovery"], true);

    // Recorded: newest first, with the time the agent recorded.
    const std::vector<std::string> lines = SplitLines(Cli({"--json", "history", kSn}));
    ASSERT_EQ(lines.size(), 1u);
    const Json h = Parse(lines[0]);
    EXPECT_EQ(h["serial"], kSn);
    EXPECT_EQ(h["count"], 2);
    ASSERT_EQ(h["events"].size(), 2u);
    const Json& last = h["events"][0];
    const Json& first = h["events"][1];
    EXPECT_EQ(first["hex"], offline["hex"].get<std::string>().substr(0, 56));
    EXPECT_EQ(first["text"], offline["text"]);
    EXPECT_EQ(first["class"], "disk");
    EXPECT_EQ(first["severity"], "critical");
    EXPECT_EQ(first["recovery"], false);
    EXPECT_EQ(last["text"], online["text"]);
    EXPECT_EQ(last["recovery"], true);
    for (const Json& e : h["events"]) {
        EXPECT_EQ(e["serial"], kSn);
        const std::string t = e["time"];
        ASSERT_EQ(t.size(), 17u) << t;
        EXPECT_EQ(e["time_iso"], "20" + t.substr(6, 2) + "-" + t.substr(0, 2) + "-" +
                                     t.substr(3, 2) + "T" + t.substr(9));
    }
    // The same events as the text form shows them, oldest first.
    const std::vector<std::string> text = SplitLines(Cli({"history", kSn}));
    ASSERT_EQ(text.size(), 2u);
    EXPECT_EQ(text[0], first["time"].get<std::string>() + "  " + kSn + "  " +
                           first["hex"].get<std::string>() + "  " +
                           first["text"].get<std::string>());
}

}  // namespace

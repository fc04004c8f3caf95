// The real agent in front of the real pellomar-sim: discovery at start-up, relayed commands,
// a large package transfer, and the rescan that unknown serial numbers trigger.
#include <signal.h>

#include <string>

#include "common/Crc32.h"
#include "support/SimProcess.h"
#include "support/TestSupport.h"

using namespace testing_support;
using nlohmann::json;

namespace {

const std::string kFinder = "Tavenu RAID Manager Server Card Finder: Serial Number: ";

size_t CountOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

json Config() {
    return {
        {"ports",
         {{{"port", 0},
           {"units",
            {{{"unit", 0}, {"serial", "E2E-SN-0001"}}, {{"unit", 1}, {"serial", "E2E-SN-0002"}}}}},
          {{"port", 1},
           {"units",
            {{{"unit", 0},
              {"serial", "E2E-BADSIG-03"},
              {"signature", "NOTOURS"},
              {"vendor_type", 0}}}}},
          {{"port", 2},
           {"units", {{{"unit", 0}, {"serial", "E2E-PAGE20-04"}, {"page20_fails", true}}}}},
          {{"port", 4},
           {"units", {{{"unit", 0}, {"serial", "E2E-SN-0005"}, {"signature", "Vostrel"}}}}}}}};
}

gui::Reply Command(const std::string& sn, const gui::Bytes& cmd) {
    return gui::Exchange(AgentEndpoint(), gui::ControllerRequest(1, sn, cmd));
}

class AgentWithSim : public ::testing::Test {
  protected:
    void SetUp() override {
        // The simulator serves <agent folder>/dev before the agent starts and probes it.
        ASSERT_TRUE(sim_.Start(agent_.dir() + "/dev", Config()));
        ASSERT_TRUE(agent_.Start());
    }
    void TearDown() override {
        EXPECT_EQ(agent_.Stop(), 0);
        sim_.Stop();
    }

    AgentProcess agent_;
    SimProcess sim_;
};

TEST_F(AgentWithSim, DiscoversTheUnitsAndRelaysTheirCommands) {
    ASSERT_TRUE(WaitFor([&] { return CountOf(agent_.process().Stderr(), kFinder) >= 3; }));
    const std::string err = agent_.process().Stderr();
    for (const char* sn : {"E2E-SN-0001", "E2E-SN-0002", "E2E-SN-0005"})
        EXPECT_NE(err.find(kFinder + sn + "\n"), std::string::npos) << err;
    EXPECT_EQ(CountOf(err, kFinder), 3u) << err;

    const std::string log = agent_.Log();
    for (const char* line : {
             "Find : \\\\.\\Scsi0: , Index : 0x0, cCtrlSN = E2E-SN-0001\n",
             "Find : \\\\.\\Scsi0: , Index : 0x1, cCtrlSN = E2E-SN-0002\n",
             "Find : \\\\.\\Scsi1: , err : pSignature no match : Find : \\\\.\\Scsi2: , Index : "
             "0x2.\n",
             "Find : \\\\.\\Scsi4: , Index : 0x2, cCtrlSN = E2E-SN-0005\n",
             "Find : \\\\.\\Scsi14: , Index : 0x3.\n",
         })
        EXPECT_NE(log.find(line), std::string::npos) << line;

    // A type-1 request naming a simulated unit is relayed (command 168: 7 bytes after the
    // 2-byte header; the reply counts the header once more).
    gui::Reply r = Command("E2E-SN-0001", {168, 0});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body.size(), 5u + 2u + 9u);
    EXPECT_EQ(r.body[3], 0x50);
    EXPECT_EQ(gui::Bytes(r.body.begin() + 5, r.body.begin() + 14),
              (gui::Bytes{168, 0, 3, 7, 1, 0x2A, 0, 41, 0}));
    // The secondary unit is addressed by 32 added to byte 1.
    r = Command("E2E-SN-0002", {168, 0});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body[3], 0x50);
    EXPECT_EQ(sim_.UnitStatus(0, 1)["commands"].back()["byte1"], 32);

    // Refused units are unknown to the agent.
    for (const char* sn : {"E2E-BADSIG-03", "E2E-PAGE20-04"}) {
        r = Command(sn, {168, 0});
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.body, (gui::Bytes{0x02, 0x01, 'E', 0x25})) << sn;
    }

    // pellomar-cli inband prints the answer, or the failure reply.
    std::string out, cliErr;
    EXPECT_EQ(RunProgram({BinPath("pellomar-cli"), "inband", "E2E-SN-0001", "a800"}, &out, &cliErr),
              0)
        << cliErr;
    EXPECT_EQ(out, "a8000307012a0029000000\n");  // 168, then 2 bytes the length counts
    EXPECT_EQ(
        RunProgram({BinPath("pellomar-cli"), "inband", "E2E-BADSIG-03", "a800"}, &out, &cliErr), 1);
    EXPECT_NE(cliErr.find("status 0x25"), std::string::npos) << cliErr;

    // A refusal of the firmware comes back with its error code.
    ASSERT_TRUE(sim_.Ctl({{"cmd", "fault"},
                          {"port", 4},
                          {"kind", "return-code"},
                          {"value", 0x0BAD},
                          {"count", 1}})
                    .value("ok", false));
    r = Command("E2E-SN-0005", {168, 0});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.body, (gui::Bytes{0x02, 0x01, 'E', 0x23, 0xAD, 0x0B}));
}

TEST_F(AgentWithSim, SixteenMebibyteUploadArrivesWhole) {
    TempDir tmp;
    std::string image(16u << 20, '\0');
    uint32_t x = 12345;
    for (char& c : image) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    ASSERT_TRUE(WriteFile(tmp.File("image.bin"), image));
    std::string out, err;
    ASSERT_EQ(RunProgram({BinPath("pellomar-cli"), "upload", "E2E-SN-0002", tmp.File("image.bin"),
                          "--cmd", "150", "--sub", "1", "--arg", "0x5a"},
                         &out, &err, std::chrono::seconds(120)),
              0)
        << err;
    char crc[11];
    std::snprintf(
        crc, sizeof crc, "0x%08x",
        gui::Crc32Update(0, reinterpret_cast<const uint8_t*>(image.data()), image.size()));
    EXPECT_NE(out.find("uploaded 16777216 bytes with command 150 in 5419 packages, crc32 " +
                       std::string(crc)),
              std::string::npos)
        << out;

    json u = sim_.UnitStatus(0, 1);
    ASSERT_FALSE(u["transfers"].empty()) << u.dump();
    json t = u["transfers"].back();
    EXPECT_EQ(t["size"], 16u << 20);
    EXPECT_EQ(t["crc32"], crc);
    EXPECT_EQ(t["packages"], 5419);
    EXPECT_EQ(t["complete"], true);
    EXPECT_EQ(t["sub"], 1);
    EXPECT_EQ(t["arg"], 0x5a);
    EXPECT_TRUE(u["current_transfer"].is_null());
}

TEST_F(AgentWithSim, UnitAddedLaterIsFoundByTheRescanOfUnknownSerials) {
    ASSERT_TRUE(sim_.Ctl({{"cmd", "add-unit"},
                          {"port", 9},
                          {"unit", 0},
                          {"fields", {{"serial", "E2E-HOTPLUG-09"}}}})
                    .value("ok", false));
    for (int i = 1; i <= 129; ++i) {
        gui::Reply r = Command("E2E-HOTPLUG-09", {168, 0});
        ASSERT_TRUE(r.ok) << i << ": " << r.error;
        ASSERT_EQ(r.body, (gui::Bytes{0x02, 0x01, 'E', 0x25})) << i;
    }
    EXPECT_NE(agent_.Log().find("RescanCtlr : \\\\.\\Scsi9: , Index : 0x3 was found.\n"),
              std::string::npos);
    gui::Reply r = Command("E2E-HOTPLUG-09", {168, 0});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body[3], 0x50);
    // The units found at start-up kept their numbers and answer as before.
    r = Command("E2E-SN-0005", {168, 0});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.body[3], 0x50);
}

}  // namespace

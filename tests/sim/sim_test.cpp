// pellomar-sim, driven through the agent's own channel, discovery and relay code (in process)
// and through its control socket.
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "common/Crc32.h"
#include "controller/CtlrChannel.h"
#include "controller/CtlrDiscovery.h"
#include "controller/CtlrRescan.h"
#include "controller/CtlrTestUtil.h"
#include "guiserver/InBandReq.h"
#include "protocol/SysStatus.h"
#include "support/SimProcess.h"

using namespace testing_support;
using nlohmann::json;

namespace {

using Bytes = std::vector<uint8_t>;

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ctlr_test::ClearTable();
        json cfg = {{"ports",
                     {{{"port", 0},
                       {"units",
                        {{{"unit", 0},
                          {"serial", "SIM-T-0001"},
                          {"model", "SIM MODEL TEXT"},
                          {"page20", 0x42},
                          {"product_type", 9}},
                         {{"unit", 1}, {"serial", "SIM-T-0002"}}}}},
                      {{"port", 3}, {"units", {{{"unit", 0}, {"serial", "SIM-T-0003"}}}}}}},
                    {"transfer_idle_ms", 1500}};
        ASSERT_TRUE(sim_.Start(dir_.path() + "/dev", cfg));
        InitCtlrTable();
        ASSERT_EQ(CountCtlr(), 3);
    }
    void TearDown() override { ctlr_test::ClearTable(); }

    json Ctl(json req) {
        json r = sim_.Ctl(req);
        EXPECT_TRUE(r.value("ok", false)) << r.dump();
        return r;
    }
    static uint8_t Command(uint8_t ctlrNo, Bytes cmd, uint32_t outSize = 0, Bytes* out = nullptr,
                           uint16_t* err = nullptr) {
        Bytes buf(outSize + 1);
        uint8_t s =
            CtlrDevIoControl(ctlrNo, IOCTL_DTR_INBAND_COMMAND, static_cast<uint32_t>(cmd.size()),
                             cmd.data(), outSize, buf.data(), err);
        if (out != nullptr) out->assign(buf.begin(), buf.begin() + outSize);
        return s;
    }

    ServerDirScope dir_;
    SimProcess sim_;
};

TEST_F(SimTest, UnitsAreIdentifiedAsConfigured) {
    CtlrEntry e = SnapshotCtlrEntry(0);
    EXPECT_STREQ(e.cCtrlSN, "SIM-T-0001");
    EXPECT_EQ(e.bPage20Byte, 0x42);
    EXPECT_EQ(std::string(e.cIdent16, 14), "SIM MODEL TEXT");
    EXPECT_EQ(SnapshotCtlrEntry(1).bUnitMark, 16);
    EXPECT_STREQ(SnapshotCtlrEntry(2).cCtrlSN, "SIM-T-0003");
    EXPECT_STREQ(SnapshotCtlrEntry(2).cDevName, "\\\\.\\Scsi3: ");
    EXPECT_NE(dir_.Log().find("Product Type = 0x9 , Vendor Type = 0x0\n"), std::string::npos);
}

TEST_F(SimTest, EventsArePendingPerUnitAndFetchedWithItsCode) {
    Ctl({{"cmd", "inject-event"}, {"port", 0}, {"unit", 1}, {"hex", "15000300"}});
    Ctl({{"cmd", "inject-event"},
         {"port", 0},
         {"unit", 1},
         {"name", "disk-offline"},
         {"a", 2},
         {"b", 5}});
    uint8_t ev[32];
    EXPECT_EQ(CtlrDevIoControl(0, IOCTL_DTR_GET_INBAND_EVENT, 0, nullptr, 32, ev, nullptr),
              SYSFAIL_IOCTL_RETURN_ERR);  // the primary has none
    ASSERT_EQ(CtlrDevIoControl(1, IOCTL_DTR_GET_INBAND_EVENT_S1, 0, nullptr, 32, ev, nullptr),
              SYS_SUCCESS);
    EXPECT_EQ(Bytes(ev, ev + 4), (Bytes{0x15, 0x00, 0x03, 0x00}));
    EXPECT_EQ(Bytes(ev + 4, ev + 32), Bytes(28, 0));
    ASSERT_EQ(CtlrDevIoControl(1, IOCTL_DTR_GET_INBAND_EVENT_S1, 0, nullptr, 32, ev, nullptr),
              SYS_SUCCESS);
    EXPECT_EQ(Bytes(ev, ev + 5), (Bytes{3, 0, 2, 5, 1}));
    EXPECT_EQ(CtlrDevIoControl(1, IOCTL_DTR_GET_INBAND_EVENT_S1, 0, nullptr, 32, ev, nullptr),
              SYSFAIL_IOCTL_RETURN_ERR);
    EXPECT_EQ(sim_.UnitStatus(0, 1)["events_delivered"], 2);
}

TEST_F(SimTest, FirmwareCommandsAnswerTheirSizes) {
    Bytes out;
    ASSERT_EQ(Command(1, {168, 32}, 9, &out), SYS_SUCCESS);  // unit 1: 32 added
    EXPECT_EQ(out, (Bytes{168, 32, 3, 7, 1, 0x2A, 0, 41, 0}));
    Bytes echo = {202, 0, 1, 2, 3, 4, 5};
    ASSERT_EQ(Command(0, echo, 7, &out), SYS_SUCCESS);
    EXPECT_EQ(out, echo);
    ASSERT_EQ(Command(0, {178, 1, 7}, 515, &out), SYS_SUCCESS);
    EXPECT_EQ(out[0], 178);
    EXPECT_EQ(out[3], static_cast<uint8_t>(7 + 'S'));
    ASSERT_EQ(Command(0, {55, 0, 9, 9}, 16, &out), SYS_SUCCESS);
    EXPECT_EQ(out, Bytes(16, 0));  // accepted, no data
    json u = sim_.UnitStatus(0, 1);
    EXPECT_EQ(u["commands"].back()["code"], 168);
    EXPECT_EQ(u["commands"].back()["byte1"], 32);
    EXPECT_EQ(u["commands"].back()["length"], 9);
    // A unit that is not there: the driver fails the request.
    ctlr_test::SetEntry(5, "\\\\.\\Scsi0: ", "NOBODY", CTLR_UNIT_SECONDARY3);
    uint16_t err = 0;
    EXPECT_EQ(Command(5, {168, 96}, 9, &out, &err), SYSFAIL_IOCTL_FAIL);
    EXPECT_NE(dir_.Log().find("Ctlr NOBODY : DeviceIoControl Fail, status: 19, 0.\n"),
              std::string::npos);
}

TEST_F(SimTest, InjectedFaults) {
    uint16_t err = 0;
    Bytes out;
    Ctl({{"cmd", "fault"},
         {"port", 0},
         {"kind", "return-code"},
         {"value", 0x1234},
         {"unit", 1},
         {"count", 1}});
    EXPECT_EQ(Command(0, {7, 0}), SYS_SUCCESS);  // another unit
    EXPECT_EQ(Command(1, {7, 32}, 0, nullptr, &err), SYSFAIL_IOCTL_RETURN_ERR);
    EXPECT_EQ(err, 0x1234);
    EXPECT_EQ(Command(1, {7, 32}), SYS_SUCCESS);  // the count is used up

    Ctl({{"cmd", "fault"}, {"port", 0}, {"kind", "ioctl-fail"}, {"value", 5}, {"inband_cmd", 9}});
    EXPECT_EQ(Command(0, {8, 0}), SYS_SUCCESS);
    EXPECT_EQ(Command(0, {9, 0}, 0, nullptr, &err), SYSFAIL_IOCTL_FAIL);
    EXPECT_EQ(err, INBAND_ERR_IOCTL_FAIL);
    EXPECT_NE(dir_.Log().find("DeviceIoControl Fail, status: 5, 0.\n"), std::string::npos);
    Ctl({{"cmd", "fault-clear"}, {"port", 0}});
    EXPECT_EQ(Command(0, {9, 0}), SYS_SUCCESS);

    for (const char* kind : {"close-no-reply", "close-mid-reply"}) {
        Ctl({{"cmd", "fault"}, {"port", 3}, {"kind", kind}, {"count", 1}});
        EXPECT_EQ(Command(2, {1, 1, 0}, 515, &out, &err), SYSFAIL_IOCTL_FAIL) << kind;
    }
    Ctl({{"cmd", "fault"}, {"port", 3}, {"kind", "refuse"}});
    EXPECT_EQ(Command(2, {7, 0}), SYSFAIL_IOCTL_OPEN_FAIL);
    EXPECT_NE(dir_.Log().find("Ctlr SIM-T-0003 : Create device handle fail, status : 111\n"),
              std::string::npos);
    Ctl({{"cmd", "fault-clear"}});
    EXPECT_EQ(Command(2, {7, 0}), SYS_SUCCESS);
}

TEST_F(SimTest, DelayedCallDoesNotHoldUpOtherUnits) {
    Ctl({{"cmd", "fault"},
         {"port", 0},
         {"kind", "delay"},
         {"value", 3000},
         {"unit", 0},
         {"count", 1}});
    const int before = sim_.UnitStatus(0, 0)["inband_calls"];
    std::atomic<bool> slowDone{false}, fastDone{false};
    bool fastFirst = false;
    std::thread slow([&] {
        EXPECT_EQ(Command(0, {7, 0}), SYS_SUCCESS);
        slowDone = true;
    });
    WaitFor([&] { return sim_.UnitStatus(0, 0)["inband_calls"] == before + 1; });
    std::thread fast([&] {
        EXPECT_EQ(Command(1, {7, 32}), SYS_SUCCESS);
        fastFirst = !slowDone.load();
        fastDone = true;
    });
    fast.join();
    slow.join();
    EXPECT_TRUE(fastFirst);
}

TEST_F(SimTest, HotPlugIsSeenByTheRescan) {
    Ctl({{"cmd", "add-unit"}, {"port", 7}, {"unit", 0}, {"fields", {{"serial", "SIM-HOT-7"}}}});
    Ctl({{"cmd", "remove-unit"}, {"port", 0}, {"unit", 1}});
    RescanCtlr();
    EXPECT_STREQ(SnapshotCtlrEntry(0).cCtrlSN, "SIM-T-0001");
    EXPECT_STREQ(SnapshotCtlrEntry(1).cCtrlSN, "SIM-T-0003");
    EXPECT_STREQ(SnapshotCtlrEntry(2).cCtrlSN, "SIM-HOT-7");
    EXPECT_EQ(CountCtlr(), 3);
    Ctl({{"cmd", "remove-port"}, {"port", 7}});
    EXPECT_EQ(Command(2, {7, 0}), SYSFAIL_IOCTL_OPEN_FAIL);
    EXPECT_NE(dir_.Log().find("Ctlr SIM-HOT-7 : Create device handle fail, status : 2\n"),
              std::string::npos);
    // A bad signature and a failing page 20 are refused by the rescan.
    Ctl({{"cmd", "add-unit"},
         {"port", 8},
         {"unit", 0},
         {"fields", {{"serial", "SIM-BADSIG"}, {"signature", "NOTOURS"}}}});
    Ctl({{"cmd", "add-unit"},
         {"port", 9},
         {"unit", 0},
         {"fields", {{"serial", "SIM-PAGE20"}, {"page20_fails", true}}}});
    RescanCtlr();
    EXPECT_EQ(CountCtlr(), 2);
    EXPECT_NE(dir_.Log().find("Find : \\\\.\\Scsi8: , err : pSignature no match : "),
              std::string::npos);
}

// Identify bytes patched to what is not UTF-8 show in the status as U+FFFD; the control socket
// goes on answering.
TEST_F(SimTest, StatusShowsASerialThatIsNotTextAndTheSimulatorGoesOn) {
    Ctl({{"cmd", "add-unit"},
         {"port", 10},
         {"unit", 0},
         {"fields",
          {{"identify_patch", {{{"offset", 352}, {"hex", "41ff42" + std::string(32, '0')}}}}}}});
    const json status = Ctl({{"cmd", "status"}});
    std::string serial;
    for (const json& p : status.at("ports"))
        if (p.at("port") == 10) serial = p.at("units").at(0).at("serial").get<std::string>();
    EXPECT_EQ(serial, std::string("A\xEF\xBF\xBD") + "B");
    Ctl({{"cmd", "remove-port"}, {"port", 10}});
}

std::unique_ptr<GuiConn> PackageRequest(const char* sn, uint8_t code, const Bytes& data) {
    auto conn = std::make_unique<GuiConn>();
    const size_t headLen = code == 150 ? 7 : 6;
    Bytes body(18 + headLen + data.size(), 0);
    body[0] = 2;
    body[1] = 1;
    std::memcpy(body.data() + 2, sn, std::strlen(sn));
    body[18] = code;
    std::memcpy(body.data() + 18 + headLen, data.data(), data.size());
    conn->lReqLen = static_cast<uint32_t>(body.size());
    conn->bLargeReq = 1;
    EXPECT_TRUE(conn->pLargeReq.Resize(body.size()));
    std::memcpy(conn->pLargeReq.Data(), body.data(), body.size());
    std::memcpy(conn->cReqBuf, body.data(), GUI_INLINE_BUF_SIZE);
    return conn;
}

TEST_F(SimTest, PackageTransfersAreReassembledAndChecked) {
    Bytes data(100000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 13 + (i >> 9));
    auto conn = PackageRequest("SIM-T-0002", 150, data);
    ASSERT_EQ(HandleInBandReq(*conn, 1, nullptr), SYS_SUCCESS);
    json t = sim_.UnitStatus(0, 1)["transfers"].back();
    EXPECT_EQ(t["cmd"], 150);
    EXPECT_EQ(t["size"], data.size());
    EXPECT_EQ(t["packages"], 33);
    EXPECT_EQ(t["complete"], true);
    char crc[11];
    std::snprintf(crc, sizeof crc, "0x%08x", gui::Crc32Update(0, data.data(), data.size()));
    EXPECT_EQ(t["crc32"], crc);

    // Packages that break the rules are refused with the firmware's error codes.
    struct Case {
        const char* what;
        Bytes pkg;
        uint16_t err;
    };
    Bytes shortNotLast = {148, 5, 10, 0, 0, 0, 0};
    shortNotLast.resize(7 + 10, 1);
    Bytes badLength = {148, 5, 200, 0, 0, 0, 1};
    badLength.resize(7 + 10, 1);
    Bytes badCount = {148, 4, 10, 0, 0, 0, 1};
    badCount.resize(7 + 10, 1);
    Bytes first = {148, 5, 0x18, 0x0C, 0, 0, 0};
    first.resize(7 + 3096, 1);
    Bytes other = {149, 5, 10, 0, 0, 0, 1};
    other.resize(7 + 10, 1);
    for (const Case& k : {Case{"short package not last", shortNotLast, 0x34},
                          Case{"length field", badLength, 0x30}, Case{"count", badCount, 0x31}}) {
        uint16_t err = 0;
        EXPECT_EQ(Command(0, k.pkg, 0, nullptr, &err), SYSFAIL_IOCTL_RETURN_ERR) << k.what;
        EXPECT_EQ(err, k.err) << k.what;
    }
    uint16_t err = 0;
    EXPECT_EQ(Command(0, first), SYS_SUCCESS);
    EXPECT_EQ(Command(0, other, 0, nullptr, &err), SYSFAIL_IOCTL_RETURN_ERR);
    EXPECT_EQ(err, 0x33);
    json u = sim_.UnitStatus(0, 0);
    EXPECT_EQ(u["transfers"].back()["complete"], false);
    EXPECT_EQ(u["transfers"].back()["error"], "a package of another transfer arrived");

    // A transfer whose sender went away is ended, not merged into the next one.
    Bytes lastOne = {148, 5, 10, 0, 0, 0, 1};
    lastOne.resize(7 + 10, 1);
    EXPECT_EQ(Command(0, first), SYS_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(1700));
    EXPECT_EQ(Command(0, lastOne), SYS_SUCCESS);
    u = sim_.UnitStatus(0, 0);
    const json& ts = u["transfers"];
    ASSERT_GE(ts.size(), 2u);
    EXPECT_EQ(ts[ts.size() - 2]["complete"], false);
    EXPECT_EQ(ts[ts.size() - 2]["size"], 3096);
    EXPECT_EQ(ts[ts.size() - 2]["error"], "abandoned: no package came after the last answer");
    EXPECT_EQ(ts.back()["complete"], true);
    EXPECT_EQ(ts.back()["size"], 10);
}

TEST(SimScenario, GeneratesRealisticEventsNowAndThen) {
    ctlr_test::ClearTable();
    ServerDirScope dir;
    SimProcess sim;
    ASSERT_TRUE(sim.Start(
        dir.path() + "/dev",
        json{
            {"ports", {{{"port", 0}, {"units", {{{"unit", 0}}}}}}},
            {"scenario",
             {{"enabled", true}, {"min_interval_ms", 10}, {"max_interval_ms", 20}, {"seed", 3}}}}));
    ASSERT_TRUE(WaitFor([&] { return sim.UnitStatus(0, 0)["pending_events"] >= 12; }));
    ASSERT_TRUE(sim.Ctl({{"cmd", "scenario"}, {"enabled", false}}).value("ok", false));
    ctlr_test::SetEntry(0, "\\\\.\\Scsi0: ", "SCENARIO");
    // Disk, array, rebuild and environment events, each a story that goes on where it stopped.
    int fetched = 0;
    uint8_t ev[32];
    while (CtlrDevIoControl(0, IOCTL_DTR_GET_INBAND_EVENT, 0, nullptr, 32, ev, nullptr) ==
           SYS_SUCCESS) {
        ++fetched;
        const bool known = (ev[0] == 3 && ev[4] <= 1) || ev[0] == 21 ||
                           (ev[0] == 1 && ev[2] == 0x9D && (ev[3] == 4 || ev[3] == 1)) ||
                           (ev[0] == 19 && (ev[2] == 0 || ev[2] == 3) && ev[4] <= 3);
        EXPECT_TRUE(known) << int(ev[0]) << " " << int(ev[2]) << " " << int(ev[4]);
    }
    EXPECT_GE(fetched, 12);
    ctlr_test::ClearTable();
}

TEST(SimCommandLine, ControlCommandsAndConfigurationErrors) {
    TempDir dir;
    SimProcess sim;
    ASSERT_TRUE(sim.Start(dir.File("dev"), json{{"ports", {{{"port", 1}}}}}));
    std::string out, err;
    const std::string bin = BinPath("pellomar-sim"), dev = dir.File("dev");
    EXPECT_EQ(RunProgram({bin, "ctl", "--dir", dev, "add-unit", "1", "2", "--serial", "CLI-SN",
                          "--vendor-type", "0x1", "--page20", "7"},
                         &out, &err),
              0)
        << err;
    EXPECT_EQ(RunProgram({bin, "ctl", "--dir", dev, "inject-event", "1", "2", "--name", "fan-fail",
                          "--b", "1", "--count", "3"},
                         &out, &err),
              0)
        << err;
    EXPECT_EQ(RunProgram({bin, "ctl", "--dir", dev, "status"}, &out, &err), 0) << err;
    json st = json::parse(out, nullptr, false);
    ASSERT_FALSE(st.is_discarded()) << out;
    json u = st["ports"][0]["units"][0];
    EXPECT_EQ(u["serial"], "CLI-SN");
    EXPECT_EQ(u["unit"], 2);
    EXPECT_EQ(u["vendor_type"], 1);
    EXPECT_EQ(u["page20"], 7);
    EXPECT_EQ(u["pending_events"], 3);

    EXPECT_EQ(RunProgram({bin, "ctl", "--dir", dev, "add-unit", "1", "2"}, &out, &err), 1);
    EXPECT_NE(err.find("already has unit 2"), std::string::npos) << err;
    EXPECT_EQ(RunProgram({bin, "ctl", "--dir", dev, "fault", "1", "melt"}, &out, &err), 1);
    EXPECT_EQ(RunProgram({bin, "ctl", "--dir", dev, "bogus"}, &out, &err), 2);
    // A second simulator on the same folder is refused.
    EXPECT_EQ(RunProgram({bin, "--dir", dev}, &out, &err), 1);
    EXPECT_NE(err.find("another pellomar-sim serves"), std::string::npos) << err;

    // Configuration errors end it with status 2 and a message.
    TempDir other;
    WriteFile(other.File("bad.json"), "{\"ports\": [{\"port\": 99}]}");
    EXPECT_EQ(RunProgram({bin, "--dir", other.File("dev"), "--config", other.File("bad.json")},
                         &out, &err),
              2);
    EXPECT_NE(err.find("'port' out of range"), std::string::npos) << err;
    WriteFile(other.File("bad.json"), "{\"ports\": [");
    EXPECT_EQ(RunProgram({bin, "--dir", other.File("dev"), "--config", other.File("bad.json")},
                         &out, &err),
              2);
    EXPECT_NE(err.find("not valid JSON"), std::string::npos) << err;
}

// Every control command refuses a bad request with its own reason, and a refused request
// changes nothing.
TEST(SimControl, BadRequestsAreRefusedWithTheirReason) {
    TempDir dir;
    SimProcess sim;
    ASSERT_TRUE(
        sim.Start(dir.File("dev"), json{{"ports", {{{"port", 0}, {"units", {{{"unit", 0}}}}}}}}));
    const std::string tooLong(66, 'a');
    const struct {
        json req;
        const char* error;
    } cases[] = {
        {json::object(), "unknown command ''"},
        {{{"cmd", "melt"}}, "unknown command 'melt'"},
        {{{"cmd", "add-port"}}, "'port' is missing"},
        {{{"cmd", "add-port"}, {"port", 64}}, "'port' out of range"},
        {{{"cmd", "add-port"}, {"port", "0x"}}, "'port' is not a number"},
        {{{"cmd", "add-port"}, {"port", 0}}, "the port exists"},
        {{{"cmd", "remove-port"}, {"port", 5}}, "no port 5"},
        {{{"cmd", "add-unit"}, {"port", 0}}, "a unit needs its 'unit' number (0 to 3)"},
        {{{"cmd", "add-unit"}, {"port", 0}, {"unit", 0}}, "port 0 already has unit 0"},
        {{{"cmd", "add-unit"}, {"port", 6}, {"unit", 0}, {"fields", 3}},
         "'fields' must be an object"},
        {{{"cmd", "add-unit"}, {"port", 6}, {"unit", 4}}, "'unit' out of range"},
        {{{"cmd", "remove-unit"}, {"port", 0}}, "'unit' is missing"},
        {{{"cmd", "remove-unit"}, {"port", 0}, {"unit", 2}}, "no unit 2"},
        {{{"cmd", "inject-event"}, {"port", 0}, {"unit", 0}}, "give the event as 'hex' or 'name'"},
        {{{"cmd", "inject-event"}, {"port", 0}, {"unit", 0}, {"name", "melt"}},
         "unknown event name"},
        {{{"cmd", "inject-event"}, {"port", 0}, {"unit", 0}, {"hex", tooLong}},
         "an event is at most 32 bytes in hex"},
        {{{"cmd", "inject-event"}, {"port", 0}, {"unit", 0}, {"hex", "01"}, {"count", 0}},
         "'count' out of range"},
        {{{"cmd", "clear-events"}, {"port", 9}, {"unit", 0}}, "no port 9"},
        {{{"cmd", "fault"}, {"port", 0}, {"kind", "melt"}}, "unknown fault kind 'melt'"},
        {{{"cmd", "fault"}, {"port", 0}, {"kind", "return-code"}, {"value", 0x10000}},
         "an in-band error code has 16 bits"},
        {{{"cmd", "fault"}, {"port", 0}, {"kind", "ioctl-fail"}, {"value", 0}},
         "a failure needs a non-zero value"},
        {{{"cmd", "fault"}, {"port", 0}, {"kind", "delay"}, {"match", "some"}},
         "'match' is any, inband or event"},
        {{{"cmd", "fault-clear"}, {"port", 9}}, "no port 9"},
        {{{"cmd", "fault-clear"}, {"id", "x"}}, "'id' is not a number"},
        {{{"cmd", "scenario"}, {"enabled", 1}}, "'enabled' is true or false"},
        {{{"cmd", "scenario"}, {"min_interval_ms", 5}}, "'min_interval_ms' out of range"},
    };
    for (const auto& c : cases) {
        const json reply = sim.Ctl(c.req);
        EXPECT_EQ(reply, (json{{"ok", false}, {"error", c.error}})) << c.req.dump();
    }
    // The unit refused on a new port took the port with it.
    EXPECT_EQ(sim.Ctl({{"cmd", "remove-port"}, {"port", 6}})["error"], "no port 6");
    EXPECT_FALSE(FileExists(dir.File("dev/Scsi6")));
    const json st = sim.Status();
    EXPECT_EQ(st["ports"].size(), 1u);
    EXPECT_EQ(st["ports"][0]["faults"], json::array());
    EXPECT_EQ(st["ports"][0]["units"][0]["pending_events"], 0);
}

// What each command answers, and what it changes (sockets included).
TEST(SimControl, CommandsAnswerAndTakeEffect) {
    TempDir dir;
    SimProcess sim;
    ASSERT_TRUE(
        sim.Start(dir.File("dev"), json{{"ports", {{{"port", 0}, {"units", {{{"unit", 0}}}}}}}}));
    const json ok = {{"ok", true}};
    EXPECT_EQ(sim.Ctl({{"cmd", "add-port"}, {"port", 5}}), ok);
    EXPECT_TRUE(WaitFor([&] { return FileExists(dir.File("dev/Scsi5")); }));
    EXPECT_EQ(sim.Ctl({{"cmd", "add-unit"}, {"port", 5}, {"unit", 3}}), ok);
    EXPECT_EQ(
        sim.Ctl({{"cmd", "inject-event"}, {"port", 5}, {"unit", 3}, {"hex", "01"}, {"count", 3}}),
        (json{{"ok", true}, {"queued", 3}, {"pending_events", 3}}));
    EXPECT_EQ(sim.UnitStatus(5, 3)["pending_events"], 3);
    EXPECT_EQ(sim.Ctl({{"cmd", "clear-events"}, {"port", 5}, {"unit", 3}}), ok);
    EXPECT_EQ(sim.UnitStatus(5, 3)["pending_events"], 0);
    EXPECT_EQ(sim.Ctl({{"cmd", "remove-unit"}, {"port", 5}, {"unit", 3}}), ok);
    EXPECT_TRUE(sim.UnitStatus(5, 3).is_null());

    const json fault = sim.Ctl({{"cmd", "fault"}, {"port", 0}, {"kind", "refuse"}});
    ASSERT_TRUE(fault.value("ok", false)) << fault.dump();
    EXPECT_EQ(sim.Status()["ports"][0]["refusing"], true);
    EXPECT_EQ(sim.Ctl({{"cmd", "fault-clear"}, {"id", fault["id"]}}),
              (json{{"ok", true}, {"cleared", 1}}));
    EXPECT_EQ(sim.Ctl({{"cmd", "fault-clear"}}), (json{{"ok", true}, {"cleared", 0}}));
    EXPECT_EQ(sim.Status()["ports"][0]["refusing"], false);

    EXPECT_EQ(sim.Ctl({{"cmd", "scenario"}, {"min_interval_ms", 300}, {"max_interval_ms", 200}}),
              ok);
    EXPECT_EQ(sim.Status()["scenario"],
              (json{{"enabled", false}, {"min_interval_ms", 300}, {"max_interval_ms", 300}}));

    EXPECT_EQ(sim.Ctl({{"cmd", "remove-port"}, {"port", 5}}), ok);
    EXPECT_TRUE(WaitFor([&] { return !FileExists(dir.File("dev/Scsi5")); }));
}

// `ctl` turns its words into the request: options into their fields, or a usage error.
TEST(SimCommandLine, CtlWordsBecomeRequestsOrUsageErrors) {
    TempDir dir;
    SimProcess sim;
    ASSERT_TRUE(sim.Start(dir.File("dev"), json{{"ports", {{{"port", 1}}}}}));
    const std::string bin = BinPath("pellomar-sim"), dev = dir.File("dev");
    auto ctl = [&](std::vector<std::string> words, std::string* out, std::string* err) {
        words.insert(words.begin(), {bin, "ctl", "--dir", dev});
        return RunProgram(words, out, err);
    };
    std::string out, err;
    const struct {
        std::vector<std::string> words;
        const char* error;
    } bad[] = {
        {{}, "no command"},
        {{"melt"}, "unknown command 'melt'"},
        {{"add-port"}, "port is missing"},
        {{"add-unit", "1"}, "unit is missing"},
        {{"remove-port", "x"}, "'x' is not a number"},
        {{"fault", "1"}, "the fault kind is missing"},
        {{"scenario", "maybe"}, "scenario on or off"},
        {{"status", "x"}, "unexpected argument 'x'"},
        {{"inject-event", "1", "0", "01", "02"}, "unexpected argument '02'"},
        {{"remove-unit", "1", "0", "--page20-fails"}, "unit fields belong to add-unit"},
        {{"add-unit", "1", "0", "--json", "[]"}, "--json needs a JSON object"},
        {{"fault", "1", "delay", "--value"}, "--value needs a value"},
        {{"status", "--melt", "1"}, "unknown option --melt"},
        {{"fault", "1", "delay", "--count", "many"}, "'many' is not a number"},
    };
    for (const auto& c : bad) {
        EXPECT_EQ(ctl(c.words, &out, &err), 2) << c.error;
        EXPECT_EQ(err.rfind(std::string("pellomar-sim ctl: ") + c.error + "\nusage: ", 0), 0u)
            << err;
    }

    ASSERT_EQ(ctl({"add-unit", "1", "3", "--page20-fails", "--json", "{\"ident95\": 4}",
                   "--product-type", "0x7", "--fallback-serial", "FB-X", "--signature", "Vostrel",
                   "--model", "M-1", "--firmware", "FW-1"},
                  &out, &err),
              0)
        << err;
    const json u = sim.UnitStatus(1, 3);
    EXPECT_EQ(u["page20_fails"], true);
    EXPECT_EQ(u["product_type"], 7);
    EXPECT_EQ(u["signature"], "Vostrel");
    const std::string ident = u["identify"];
    EXPECT_EQ(ident.substr(2 * 95, 2), "04");
    EXPECT_EQ(ident.substr(2 * 16, 6), "4d2d31");     // model "M-1"
    EXPECT_EQ(ident.substr(2 * 32, 8), "46422d58");   // fallback serial "FB-X"
    EXPECT_EQ(ident.substr(2 * 112, 8), "46572d31");  // firmware "FW-1"

    ASSERT_EQ(ctl({"fault", "1", "delay", "--value", "7", "--unit", "3", "--cmd", "9", "--match",
                   "inband", "--count", "2"},
                  &out, &err),
              0)
        << err;
    EXPECT_EQ(sim.Status()["ports"][0]["faults"][0], (json{{"id", 1},
                                                           {"kind", "delay"},
                                                           {"unit", 3},
                                                           {"inband_cmd", 9},
                                                           {"match", "inband"},
                                                           {"value", 7},
                                                           {"remaining", 2}}));
    EXPECT_EQ(ctl({"fault-clear", "1", "--id", "1"}, &out, &err), 0) << err;
    EXPECT_EQ(json::parse(out, nullptr, false), (json{{"ok", true}, {"cleared", 1}}));
    ASSERT_EQ(ctl({"inject-event", "1", "3", "--name", "disk-online", "--a", "2", "--b", "6"}, &out,
                  &err),
              0)
        << err;
    EXPECT_EQ(sim.UnitStatus(1, 3)["pending_events"], 1);
    EXPECT_EQ(ctl({"scenario", "off", "--min", "100", "--max", "200"}, &out, &err), 0) << err;
    EXPECT_EQ(sim.Status()["scenario"],
              (json{{"enabled", false}, {"min_interval_ms", 100}, {"max_interval_ms", 200}}));

    // The usage text, asked for either way, names every control command.
    std::string help;
    EXPECT_EQ(RunProgram({bin, "--help"}, &help, &err), 0);
    EXPECT_EQ(RunProgram({bin, "ctl", "--help"}, &out, &err), 2);
    EXPECT_EQ(err, help);
    for (const char* name : {"status", "add-port", "remove-port", "add-unit", "remove-unit",
                             "inject-event", "clear-events", "fault", "fault-clear", "scenario"})
        EXPECT_TRUE(help.find(std::string(" ") + name + " ") != std::string::npos ||
                    help.find(std::string(" ") + name + "\n") != std::string::npos)
            << name;
}

}  // namespace

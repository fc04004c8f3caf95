// Type-1 requests through the in-process GUI server: the failure reply on the wire, the failure
// count that clears a controller, and the rescan that unknown serial numbers trigger.
#include <cstring>
#include <string>

#include "controller/CtlrHealth.h"
#include "controller/CtlrTestUtil.h"
#include "guiserver/RequestDispatch.h"
#include "protocol/SysStatus.h"
#include "support/FakeDevice.h"

using namespace testing_support;
using ctlr_test::SetEntry;

namespace {

constexpr const char* kSn = "DISPATCH-SN-0001";

class InBandDispatchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ctlr_test::ClearTable();
        fc_.Add(0, 0, kSn);
        SetEntry(0, "\\\\.\\Scsi0: ", kSn);
        // Command 9 is refused by the firmware with in-band error code 0x1234.
        fc_.SetCommandHook([](const DevCall& c, int) -> std::optional<DevAnswer> {
            if (c.Data(0) != 9) return std::nullopt;
            DevAnswer a;
            a.returnCode = 0x12340001;
            return a;
        });
    }
    void TearDown() override { ctlr_test::ClearTable(); }

    gui::Reply Send(const std::string& sn, const gui::Bytes& cmd) {
        return gui::Exchange(TestServer(), gui::ControllerRequest(1, sn, cmd));
    }

    ServerDirScope dir_;
    FakeControllers fc_{dir_.path()};
};

TEST_F(InBandDispatchTest, RelayFailureReplyCarriesStatusAndErrorCodeOnTheWire) {
    gui::Reply r =
        gui::ExchangeRaw(TestServer(), gui::Frame(gui::ControllerRequest(1, kSn, {9, 0, 0, 0})));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, (gui::Bytes{0x01, 0x06, 0, 0, 0, 0x02, 0x01, 'D', 0x23, 0x34, 0x12}));
    EXPECT_NE(dir_.Log().find("REQ_INBAND_COMMAND 00 : SN(DISPATCH-SN-0001) HandleInBandReq fail, "
                              "bStatus 0x23, usInBandErrCode 0x1234, Cnt 1.\n"),
              std::string::npos);

    // A relayed command: the reply of the relay.
    r = Send(kSn, {168, 0});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body.size(), 5u + 2u + 9u);
    EXPECT_EQ(r.body[3], 0x50);
}

TEST_F(InBandDispatchTest, FailureCountClearsTheControllerAndSuccessResetsIt) {
    for (int i = 0; i < 5; ++i)
        Send(kSn, {9, 0});
    EXPECT_EQ(InBandFailCount(0), 5);
    ASSERT_TRUE(Send(kSn, {7, 0}).ok);
    EXPECT_EQ(InBandFailCount(0), 0);

    for (int i = 1; i <= 33; ++i) {
        gui::Reply r = Send(kSn, {9, 0});
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.body[3], 0x23) << i;
    }
    EXPECT_NE(dir_.Log().find("REQ_INBAND_COMMAND 00 : SN(DISPATCH-SN-0001) HandleInBandReq fail "
                              "count over, clear the device info.\n"),
              std::string::npos);
    EXPECT_EQ(SnapshotCtlrEntry(0).bState, CTLR_STATUS_EMPTY);
    EXPECT_EQ(InBandFailCount(0), 0);
    gui::Reply r = Send(kSn, {7, 0});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.body, (gui::Bytes{0x02, 0x01, 'D', 0x25}));
}

TEST_F(InBandDispatchTest, FailureCountStartsAgainForAnotherUnitAtTheSameNumber) {
    for (int i = 0; i < 20; ++i)
        Send(kSn, {9, 0});
    EXPECT_EQ(InBandFailCount(0), 20);
    // A rescan gave number 0 to another unit: its failures are its own.
    fc_.Add(0, 0, "DISPATCH-SN-0002");
    SetEntry(0, "\\\\.\\Scsi0: ", "DISPATCH-SN-0002");
    Send("DISPATCH-SN-0002", {9, 0});
    EXPECT_EQ(InBandFailCount(0), 1);
}

TEST_F(InBandDispatchTest, MoreThan128UnknownSerialsRescanAndFindTheNewUnit) {
    fc_.Add(3, 0, "DISPATCH-HOTPLUG");
    // The count is server-wide: start from wherever earlier requests of this program left it.
    for (int i = UnlistedSnCount() + 1; i <= 128; ++i) {
        gui::Reply r = Send("DISPATCH-HOTPLUG", {168, 0});
        ASSERT_TRUE(r.ok);
        ASSERT_EQ(r.body, (gui::Bytes{0x02, 0x01, 'D', 0x25})) << i;
    }
    EXPECT_EQ(UnlistedSnCount(), 128);
    EXPECT_EQ(dir_.Log().find("RescanCtlr : "), std::string::npos);
    // The 129th runs the rescan before it is answered (still 0x25: it was looked up before).
    gui::Reply r = Send("DISPATCH-HOTPLUG", {168, 0});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.body, (gui::Bytes{0x02, 0x01, 'D', 0x25}));
    EXPECT_NE(dir_.Log().find("REQ_INBAND_COMMAND : SN(DISPATCH-HOTPLUG), ID 0xFF was "
                              "unavailable, Cnt : 129.\n"),
              std::string::npos);
    EXPECT_NE(dir_.Log().find("RescanCtlr : \\\\.\\Scsi3: , Index : 0x1 was found.\n"),
              std::string::npos);
    EXPECT_EQ(UnlistedSnCount(), 0);
    r = Send("DISPATCH-HOTPLUG", {168, 0});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.body[3], 0x50);
    EXPECT_EQ(ctlr_test::SerialOf(1), "DISPATCH-HOTPLUG");
}

}  // namespace

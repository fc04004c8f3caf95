// Request dispatch through the in-process GUI server on loopback.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "controller/CtlrHealth.h"
#include "controller/CtlrTable.h"
#include "guiserver/GuiListener.h"
#include "guiserver/RequestDispatch.h"
#include "protocol/SysStatus.h"
#include "support/TestSupport.h"

using namespace testing_support;
using gui::Bytes;

namespace {

class DispatchTest : public ::testing::Test {
  protected:
    ServerDirScope dir_;
    gui::Endpoint ep_ = TestServer();

    // Every connection, however it ended, has given its unit of the count back.
    void ExpectNoLiveConnections() {
        EXPECT_TRUE(WaitFor([] { return GuiConnCount.load() == 0; })) << GuiConnCount.load();
    }
    bool LogHas(const std::string& line) {
        return WaitFor([&] { return dir_.Log().find(line) != std::string::npos; });
    }
};

void AddLiveController(uint8_t n, const char* sn) {
    std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
    CtlrEntry& e = GetCtlrEntry(n);
    std::memset(&e, 0, sizeof e);
    e.bState = CTLR_STATUS_ALIVE;
    std::snprintf(e.cCtrlSN, sizeof e.cCtrlSN, "%s", sn);
}

Bytes Body(size_t n, uint8_t type) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i * 13 + 1);
    b[0] = 0x02;
    b[1] = type;
    return b;
}

}  // namespace

TEST_F(DispatchTest, EchoComesBackByteForByteAndTheConnectionCloses) {
    gui::Reply r = gui::ExchangeRaw(ep_, gui::Frame({0x02, 0x04, 0x41, 0x42, 0x43}));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, (Bytes{0x01, 0x05, 0, 0, 0, 0x02, 0x04, 0x41, 0x42, 0x43}));
    EXPECT_TRUE(r.closedAfter);
    ExpectNoLiveConnections();
}

TEST_F(DispatchTest, EchoOfEveryLengthUpToTheLargeReplyBuffer) {
    for (size_t n :
         {size_t{2}, size_t{2047}, size_t{2048}, size_t{2049}, size_t{GUI_LARGE_REPLY_SIZE}}) {
        for (uint8_t type : {uint8_t{4}, uint8_t{5}}) {
            SCOPED_TRACE(n);
            Bytes body = Body(n, type);
            gui::Reply r = gui::Exchange(ep_, body);
            ASSERT_TRUE(r.ok) << r.error;
            EXPECT_TRUE(r.body == body);
            EXPECT_TRUE(r.closedAfter);
        }
    }
    // Longer than any reply buffer: the failure reply, never a byte from elsewhere.
    Bytes body = Body(GUI_LARGE_REPLY_SIZE + 1, 4);
    gui::Reply r = gui::Exchange(ep_, body);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, (Bytes{0x02, 0x04, body[2], SYSFAIL_ECHO_TOO_LONG}));
    ExpectNoLiveConnections();
}

TEST_F(DispatchTest, UnknownSerialGetsTheNotFoundReply) {
    gui::Reply r = gui::Exchange(ep_, gui::ControllerRequest(1, "NOSUCH-SN", {0x01, 0x01, 0x00}));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, (Bytes{0x02, 0x01, 'N', 0x25}));
    EXPECT_TRUE(LogHas("REQ_INBAND_COMMAND : SN(NOSUCH-SN), ID 0xFF was unavailable, Cnt : 1.\n"));

    // Type 3 counts nothing and logs nothing.
    std::string before = dir_.Log();
    r = gui::Exchange(ep_, gui::ControllerRequest(3, "OTHER", {0x01}));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, (Bytes{0x02, 0x03, 'O', 0x25}));
    ExpectNoLiveConnections();
    EXPECT_EQ(dir_.Log(), before);
    EXPECT_EQ(UnlistedSnCount(), 1);
}

TEST_F(DispatchTest, MoreThan128UnknownSerialsRescanAndStartCountingAgain) {
    for (int i = 1; i <= UNLISTED_SN_LIMIT + 1; ++i) {
        gui::Reply r = gui::Exchange(ep_, gui::ControllerRequest(1, "GHOST", {0x01, 0x01, 0}));
        ASSERT_TRUE(r.ok) << r.error;
        ASSERT_EQ(r.body[3], SYSFAIL_CTLR_NOT_FOUND);
    }
    EXPECT_TRUE(LogHas("SN(GHOST), ID 0xFF was unavailable, Cnt : 129.\n"));
    EXPECT_EQ(UnlistedSnCount(), 0);
    gui::Exchange(ep_, gui::ControllerRequest(1, "GHOST", {0x01, 0x01, 0}));
    EXPECT_EQ(UnlistedSnCount(), 1);
}

TEST_F(DispatchTest, RelayFailuresGiveTheSixByteReplyAndMoreThan32ClearTheController) {
    AddLiveController(3, "SN-BROKEN");
    Bytes req = gui::ControllerRequest(1, "SN-BROKEN", {0x01, 0x01, 0x00});
    for (int i = 1; i <= INBAND_FAIL_LIMIT + 1; ++i) {
        gui::Reply r = gui::Exchange(ep_, req);
        ASSERT_TRUE(r.ok) << r.error;
        ASSERT_EQ(r.body.size(), 6u);
        EXPECT_EQ(r.body[1], 0x01);
        EXPECT_EQ(r.body[2], 'S');
        EXPECT_NE(r.body[3], SYS_SUCCESS);
    }
    EXPECT_TRUE(
        LogHas("REQ_INBAND_COMMAND 03 : SN(SN-BROKEN) HandleInBandReq fail count over, "
               "clear the device info.\n"));
    EXPECT_NE(dir_.Log().find("usInBandErrCode 0x0, Cnt 33.\n"), std::string::npos);
    EXPECT_EQ(SnapshotCtlrEntry(3).bState, CTLR_STATUS_EMPTY);
    EXPECT_EQ(InBandFailCount(3), 0);
    gui::Reply r = gui::Exchange(ep_, req);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.body, (Bytes{0x02, 0x01, 'S', SYSFAIL_CTLR_NOT_FOUND}));
}

TEST_F(DispatchTest, MalformedInBandRequestsAreRefusedButNeverClearTheController) {
    AddLiveController(4, "SN-HEALTHY");
    // No command code at all: the body ends with the serial number.
    Bytes req = gui::ControllerRequest(1, "SN-HEALTHY", {});
    for (int i = 0; i < INBAND_FAIL_LIMIT + 8; ++i) {
        gui::Reply r = gui::Exchange(ep_, req);
        ASSERT_TRUE(r.ok) << r.error;
        ASSERT_EQ(r.body, (Bytes{0x02, 0x01, 'S', SYSFAIL_INBAND_BAD_REQ, 0, 0}));
    }
    EXPECT_EQ(InBandFailCount(4), 0);
    EXPECT_EQ(SnapshotCtlrEntry(4).bState, CTLR_STATUS_ALIVE);
    EXPECT_EQ(dir_.Log().find("clear the device info"), std::string::npos);
}

TEST_F(DispatchTest, UnknownConfigurationCodeGetsItsFailureReply) {
    gui::Reply r = gui::Exchange(ep_, gui::ConfigRequest(19, {}));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, (Bytes{0x02, 0x02, 19, SYSFAIL_CFGCODE_UNKNOWN}));
    EXPECT_TRUE(LogHas("REQ_SERVER_CONFIG HandleSrvConfigReq fail, bStatus 0x60.\n"));
}

TEST_F(DispatchTest, UndefinedTypesGetNoReply) {
    struct {
        uint8_t type;
        const char* line;
    } cases[] = {{0x09, "EnableServerSerive : REQ TYPE (0x09) undefine.\n"},
                 {0x00, "EnableServerSerive : REQ TYPE (0x00) undefine.\n"},
                 {0x80, "EnableServerSerive : REQ TYPE (0xffffff80) undefine.\n"}};
    for (const auto& c : cases) {
        gui::Reply r = gui::ExchangeRaw(ep_, gui::Frame({0x02, c.type, 1, 2, 3}));
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_TRUE(r.body.empty());
        EXPECT_TRUE(LogHas(c.line)) << c.line;
    }
    ExpectNoLiveConnections();
}

TEST_F(DispatchTest, EveryWayAConnectionEndsGivesItsCountBack) {
    const Bytes wires[] = {
        {},                                   // connects and closes at once
        {0x01, 0x10, 0, 0},                   // half a header
        {0x01, 100, 0, 0, 0, 0x02, 0x04, 1},  // body cut short
        {0x07, 1, 0, 0, 0},                   // not a header
        {0x01, 3, 0, 0, 0, 0x05, 4, 4},       // not a body
    };
    for (const Bytes& w : wires) {
        gui::Reply r = gui::ExchangeRaw(ep_, w, true);
        EXPECT_TRUE(r.ok) << r.error;
        EXPECT_TRUE(r.body.empty());
    }
    ExpectNoLiveConnections();
    EXPECT_TRUE(LogHas("EnableServerSerive : Get Request Frame Fail! bStatus = 0x15\n"));
    EXPECT_TRUE(LogHas("EnableServerSerive : Get Request Frame Fail! bStatus = 0x16\n"));
}

// HandleInBandReq and HandleInBandPkgReq against fake controllers: what goes to the channel,
// package layout, reply lengths and bytes, statuses and in-band error codes.
#include <cstring>
#include <memory>
#include <numeric>
#include <vector>

#include "controller/CtlrTestUtil.h"
#include "guiserver/InBandReq.h"
#include "protocol/SysStatus.h"
#include "support/FakeDevice.h"

using namespace testing_support;
using ctlr_test::SetEntry;

namespace {

constexpr const char* kPath0 = "\\\\.\\Scsi0: ";
const char* kSerials[4] = {"RELAY-SN-UNIT-0", "RELAY-SN-UNIT-1", "RELAY-SN-UNIT-2",
                           "RELAY-SN-UNIT-3"};

using Bytes = std::vector<uint8_t>;

// A type-1 request for `sn` carrying `cmd`, as ServerGUITrans leaves it in the record.
std::unique_ptr<GuiConn> MakeConn(const char* sn, const Bytes& cmd) {
    auto conn = std::make_unique<GuiConn>();
    Bytes body(18, 0);
    body[0] = 0x02;
    body[1] = 0x01;
    std::memcpy(body.data() + 2, sn, std::min<size_t>(16, std::strlen(sn)));
    body.insert(body.end(), cmd.begin(), cmd.end());
    conn->lReqLen = static_cast<uint32_t>(body.size());
    std::memcpy(conn->cReqBuf, body.data(), std::min<size_t>(body.size(), GUI_INLINE_BUF_SIZE));
    if (body.size() >= GUI_INLINE_BUF_SIZE) {
        conn->bLargeReq = 1;
        EXPECT_TRUE(conn->pLargeReq.Resize(body.size()));
        std::memcpy(conn->pLargeReq.Data(), body.data(), body.size());
    }
    return conn;
}

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i * 31 + seed + (i >> 8));
    return b;
}

Bytes Reply(const GuiConn& c) {
    return Bytes(c.cRepBuf, c.cRepBuf + std::min<uint32_t>(c.lRepLen, GUI_INLINE_BUF_SIZE));
}

class RelayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ctlr_test::ClearTable();
        const uint8_t marks[4] = {0, 16, 17, 18};
        for (int u = 0; u < 4; ++u) {
            fc_.Add(0, u, kSerials[u]);
            SetEntry(static_cast<uint8_t>(u), kPath0, kSerials[u], marks[u]);
        }
        // Commands 168 and 202 answer like the firmware: 7 bytes after the header, the echo.
        fc_.SetCommandHook([](const DevCall& c, int) -> std::optional<DevAnswer> {
            DevAnswer a;
            const uint32_t hl = (c.Data(1) & 0x1F) + 2;
            if (c.Data(0) == 168) {
                a.data = c.DataBytes(0, hl);
                for (uint8_t i = 0; i < 7; ++i)
                    a.data.push_back(static_cast<uint8_t>(0xD0 + i));
                return a;
            }
            if (c.Data(0) == 202) {
                a.data = c.DataBytes(0, c.Length());
                return a;
            }
            if (c.Data(0) == 178) {
                a.data = Bytes(hl + 512, 0x78);
                return a;
            }
            return std::nullopt;
        });
    }
    void TearDown() override { ctlr_test::ClearTable(); }

    std::vector<DevCall> Calls() { return fc_.device().Calls(); }

    ServerDirScope dir_;
    FakeControllers fc_{dir_.path()};
};

TEST_F(RelayTest, Command148With7000BytesGoesOutInThreePackages) {
    Bytes data = Pattern(7000, 3);
    Bytes cmd = {148, 0x7F, 0xA1, 0xA2, 0xA3, 0xA4};
    cmd.insert(cmd.end(), data.begin(), data.end());
    auto conn = MakeConn(kSerials[0], cmd);
    ASSERT_EQ(conn->lReqLen, 7024u);
    uint16_t err = 0;
    ASSERT_EQ(HandleInBandReq(*conn, 0, &err), SYS_SUCCESS);
    EXPECT_EQ(err, 0);

    auto calls = Calls();
    ASSERT_EQ(calls.size(), 3u);
    const uint32_t sizes[3] = {3096, 3096, 808};
    Bytes got;
    for (int i = 0; i < 3; ++i) {
        const DevCall& c = calls[i];
        EXPECT_EQ(c.ControlCode(), IOCTL_DTR_INBAND_COMMAND);
        EXPECT_EQ(c.Data(0), 148);
        EXPECT_EQ(c.Data(1), 5);
        EXPECT_EQ(c.DataBytes(2, 4), (Bytes{static_cast<uint8_t>(sizes[i]),
                                            static_cast<uint8_t>(sizes[i] >> 8), 0, 0}));
        EXPECT_EQ(c.Data(6), i == 2 ? 1 : 0);
        EXPECT_EQ(c.Length(), 7 + sizes[i]);  // each package goes out with its own size
        EXPECT_EQ(c.n, 28 + 7 + sizes[i]);
        Bytes part = c.DataBytes(7, sizes[i]);
        got.insert(got.end(), part.begin(), part.end());
    }
    EXPECT_EQ(got, data);

    // Reply: header, then 7 bytes from request offset 18 with the count rewritten to 5.
    EXPECT_EQ(conn->lRepLen, 12u);
    EXPECT_EQ(Reply(*conn),
              (Bytes{0, 0x01, 'R', 0x50, 0x50, 148, 5, 0xA1, 0xA2, 0xA3, 0xA4, data[0]}));
    EXPECT_FALSE(conn->pLargeReq.Held());
    EXPECT_EQ(conn->bLargeReq, 0);
    // One log line per package; the last data byte printed as a signed byte.
    const std::string log = dir_.Log();
    EXPECT_EQ(ctlr_test::CountOf(log, "---->pInBufAddr[0x"), 3u);
    char last[32];
    std::snprintf(last, sizeof last, "] = 0x%x\n",
                  static_cast<unsigned>(static_cast<int>(static_cast<int8_t>(data.back()))));
    EXPECT_NE(log.find(last), std::string::npos);
}

TEST_F(RelayTest, Command150CarriesItsSubCommandBehindTheFlag) {
    struct Case {
        uint8_t sub;
        uint8_t ctlrNo;
        uint8_t byte1;
        uint32_t h;
    } cases[] = {
        {1, 2, 7 + 64, 9},  // secondary unit 2
        {0, 1, 6 + 32, 8},  // secondary unit 1
        {0, 0, 6, 8},
    };
    for (const Case& k : cases) {
        fc_.device().ClearCalls();
        Bytes data = Pattern(5000, k.sub);
        Bytes cmd = {150, 0, 1, 2, 3, 4, k.sub};
        if (k.sub == 1) cmd.push_back(0xAB);
        cmd.insert(cmd.end(), data.begin(), data.end());
        auto conn = MakeConn(kSerials[k.ctlrNo], cmd);
        uint16_t err = 0;
        ASSERT_EQ(HandleInBandReq(*conn, k.ctlrNo, &err), SYS_SUCCESS);
        auto calls = Calls();
        ASSERT_EQ(calls.size(), 2u);
        Bytes got;
        for (size_t i = 0; i < calls.size(); ++i) {
            const DevCall& c = calls[i];
            EXPECT_EQ(c.Data(0), 150);
            EXPECT_EQ(c.Data(1), k.byte1);
            EXPECT_EQ(c.Data(6), i == 1 ? 1 : 0);
            EXPECT_EQ(c.Data(7), k.sub);
            if (k.sub == 1) {
                EXPECT_EQ(c.Data(8), 0xAB);
            }
            const uint32_t n = c.Field(28 + 2);
            EXPECT_EQ(n, i == 0 ? 3096u : 5000u - 3096u);
            Bytes part = c.DataBytes(k.h, n);
            got.insert(got.end(), part.begin(), part.end());
        }
        EXPECT_EQ(got, data);
        EXPECT_EQ(conn->lRepLen, k.h + 5);
        EXPECT_EQ(conn->cRepBuf[6], k.h - 2);  // the count, without the unit
    }
}

TEST_F(RelayTest, PackageRefusalsSendNothing) {
    // Command 150 with sub-command 2: 0x26, the large-request block released all the same.
    Bytes cmd = {150, 6, 0, 0, 0, 0, 2};
    cmd.resize(4000, 0x11);
    auto conn = MakeConn(kSerials[0], cmd);
    uint16_t err = 0;
    EXPECT_EQ(HandleInBandReq(*conn, 0, &err), SYSFAIL_INBAND_BAD_PKG);
    EXPECT_EQ(err, 0);
    EXPECT_FALSE(conn->pLargeReq.Held());

    // Command 149 in a request shorter than 2048 bytes: no large-request block.
    conn = MakeConn(kSerials[0], Bytes{149, 5, 0, 0, 0, 0, 1, 2, 3});
    EXPECT_EQ(HandleInBandReq(*conn, 0, &err), SYSFAIL_INBAND_CMD_FAIL);
    EXPECT_EQ(err, INBAND_ERR_NO_PKG_BUF);

    // A dead entry: 0x22 before any package.
    cmd = {148, 5, 0, 0, 0, 0};
    cmd.resize(5000, 0x22);
    conn = MakeConn(kSerials[3], cmd);
    SetEntry(3, kPath0, kSerials[3], 18, CTLR_STATUS_EMPTY);
    EXPECT_EQ(HandleInBandReq(*conn, 3, &err), SYSFAIL_INBAND_NOT_ALIVE);
    EXPECT_FALSE(conn->pLargeReq.Held());
    EXPECT_TRUE(Calls().empty());
}

TEST_F(RelayTest, FailedPackageStopsTheTransferWithTheControllerErrorCode) {
    fc_.SetCommandHook([](const DevCall& c, int) -> std::optional<DevAnswer> {
        static int packages = 0;
        if (c.Data(0) != 148) return std::nullopt;
        DevAnswer a;
        if (++packages == 2) a.returnCode = 0x12340001;
        return a;
    });
    Bytes cmd = {148, 5, 0, 0, 0, 0};
    cmd.resize(6 + 4 * 3096, 0x44);
    auto conn = MakeConn(kSerials[0], cmd);
    uint16_t err = 0;
    EXPECT_EQ(HandleInBandReq(*conn, 0, &err), SYSFAIL_INBAND_CMD_FAIL);
    EXPECT_EQ(err, 0x1234);
    EXPECT_EQ(Calls().size(), 2u);
    EXPECT_FALSE(conn->pLargeReq.Held());
}

TEST_F(RelayTest, AnswerSizesAndReplyLengthsByCommand) {
    struct Case {
        const char* what;
        Bytes cmd;
        uint8_t ctlrNo;
        uint32_t outSize;  // the channel's answer size, as the Length rule shows it
        uint32_t replyLen;
    };
    Bytes c1 = {1, 1, 0};
    c1.resize(32, 0);
    Bytes c202 = Pattern(100, 9);
    c202[0] = 202;
    c202[1] = 0;
    Bytes c7 = {7, 2, 0x10, 0x20};
    const Case cases[] = {
        {"identify, count 1", c1, 0, 515, 523},
        {"168, count 3", {168, 3, 1, 2, 3}, 1, 12, 22},
        {"178, count 0", {178, 0}, 0, 514, 5 + 2 + 514},
        {"202, 100 bytes", c202, 2, 100, 205},
        {"other command", c7, 0, 4, 5 + 4},
    };
    for (const Case& k : cases) {
        fc_.device().ClearCalls();
        auto conn = MakeConn(kSerials[k.ctlrNo], k.cmd);
        uint16_t err = 0;
        ASSERT_EQ(HandleInBandReq(*conn, k.ctlrNo, &err), SYS_SUCCESS) << k.what;
        auto calls = Calls();
        ASSERT_EQ(calls.size(), 1u) << k.what;
        EXPECT_EQ(calls[0].n, 28 + k.cmd.size()) << k.what;  // the whole command goes in
        EXPECT_EQ(calls[0].Length(), k.outSize) << k.what;
        EXPECT_EQ(conn->lRepLen, k.replyLen) << k.what;
        Bytes r = Reply(*conn);
        EXPECT_EQ(r[1], 0x01);
        EXPECT_EQ(r[2], static_cast<uint8_t>(kSerials[k.ctlrNo][0]));
        EXPECT_EQ(r[3], 0x50);
        EXPECT_EQ(r[4], 0x50);
    }
    // Identify: the 515-byte answer from byte 5, then 3 zero bytes the length also counts.
    auto conn = MakeConn(kSerials[0], c1);
    ASSERT_EQ(HandleInBandReq(*conn, 0, nullptr), SYS_SUCCESS);
    Bytes r = Reply(*conn);
    EXPECT_EQ(r[5], 1);
    EXPECT_EQ(std::string(r.begin() + 8, r.begin() + 15), "KELDRAN");
    EXPECT_EQ(Bytes(r.begin() + 520, r.end()), Bytes(3, 0));
    // 202: the echo from byte 5, zeros after it.
    conn = MakeConn(kSerials[2], c202);
    ASSERT_EQ(HandleInBandReq(*conn, 2, nullptr), SYS_SUCCESS);
    r = Reply(*conn);
    Bytes sent = c202;
    sent[1] = 64;  // the unit's addition
    EXPECT_EQ(Bytes(r.begin() + 5, r.begin() + 105), sent);
    EXPECT_EQ(Bytes(r.begin() + 105, r.end()), Bytes(100, 0));
}

TEST_F(RelayTest, UnitAdditionWrapsWithinTheByte) {
    auto conn = MakeConn(kSerials[3], Bytes{7, 200, 1, 2, 3});
    ASSERT_EQ(HandleInBandReq(*conn, 3, nullptr), SYS_SUCCESS);
    auto calls = Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Data(1), 40);
    EXPECT_EQ(calls[0].Data(0), 7);
    EXPECT_EQ(conn->lRepLen, 5u);  // a negative count leaves the reply header alone
}

TEST_F(RelayTest, ControllerAndChannelFailures) {
    fc_.SetCommandHook([](const DevCall& c, int) -> std::optional<DevAnswer> {
        DevAnswer a;
        if (c.Data(0) == 9) a.returnCode = 0x12340001;
        if (c.Data(0) == 10) a.result = 31;
        return a;
    });
    uint16_t err = 0;
    auto conn = MakeConn(kSerials[0], Bytes{9, 0});
    EXPECT_EQ(HandleInBandReq(*conn, 0, &err), SYSFAIL_INBAND_CMD_FAIL);
    EXPECT_EQ(err, 0x1234);
    conn = MakeConn(kSerials[0], Bytes{10, 0});
    EXPECT_EQ(HandleInBandReq(*conn, 0, &err), SYSFAIL_INBAND_CMD_FAIL);
    EXPECT_EQ(err, INBAND_ERR_IOCTL_FAIL);
    // The device gone: the open fails.
    fc_.RemovePort(0);
    err = 0;
    conn = MakeConn(kSerials[0], Bytes{11, 0});
    EXPECT_EQ(HandleInBandReq(*conn, 0, &err), SYSFAIL_INBAND_CMD_FAIL);
    EXPECT_EQ(err, 0);
}

TEST_F(RelayTest, RequestsThatWouldPassTheBuffersAreRefusedBeforeSending) {
    Bytes echo(1022, 0x5A);
    echo[0] = 202;
    echo[1] = 0;
    auto conn = MakeConn(kSerials[0], echo);  // 5 + 2 x 1022 > 2048
    EXPECT_EQ(HandleInBandReq(*conn, 0, nullptr), SYSFAIL_INBAND_BAD_REQ);
    echo.resize(1021);
    conn = MakeConn(kSerials[0], echo);
    EXPECT_EQ(HandleInBandReq(*conn, 0, nullptr), SYS_SUCCESS);
    EXPECT_EQ(conn->lRepLen, 2047u);
    EXPECT_EQ(Calls().size(), 1u);
    fc_.device().ClearCalls();

    Bytes longCmd(2048 - 18, 0x01);
    longCmd[0] = 7;
    conn = MakeConn(kSerials[0], longCmd);  // a 2048-byte body
    ASSERT_EQ(conn->bLargeReq, 1);
    EXPECT_EQ(HandleInBandReq(*conn, 0, nullptr), SYSFAIL_INBAND_BAD_REQ);
    conn = MakeConn(kSerials[0], Bytes{168, static_cast<uint8_t>(-20)});  // answer size < 0
    EXPECT_EQ(HandleInBandReq(*conn, 0, nullptr), SYSFAIL_INBAND_BAD_REQ);
    conn = MakeConn(kSerials[0], Bytes{});  // no command code at all
    EXPECT_EQ(HandleInBandReq(*conn, 0, nullptr), SYSFAIL_INBAND_BAD_REQ);
    EXPECT_TRUE(Calls().empty());
}

TEST_F(RelayTest, EntryMustBeAliveAndStillHoldTheSerial) {
    SetEntry(1, kPath0, kSerials[1], 16, CTLR_STATUS_EMPTY);
    auto conn = MakeConn(kSerials[1], Bytes{7, 0});
    EXPECT_EQ(HandleInBandReq(*conn, 1, nullptr), SYSFAIL_INBAND_NOT_ALIVE);
    // Number 2 now holds another unit than the request names (a rescan moved it).
    conn = MakeConn(kSerials[1], Bytes{7, 0});
    EXPECT_EQ(HandleInBandReq(*conn, 2, nullptr), SYSFAIL_INBAND_NOT_ALIVE);
    EXPECT_TRUE(Calls().empty());
}

}  // namespace

// CtlrDevIoControl against an in-process fake driver: the bytes on the wire, the Length rule,
// the statuses and their order, the in-band error code and the log lines.
#include <cerrno>
#include <cstring>
#include <vector>

#include "controller/CtlrChannel.h"
#include "controller/CtlrTestUtil.h"
#include "protocol/SysStatus.h"
#include "support/FakeDevice.h"

using namespace testing_support;
using ctlr_test::SetEntry;

namespace {

constexpr const char* kPath0 = "\\\\.\\Scsi0: ";
constexpr const char* kSn = "SN-CHANNEL-0001";

class ChannelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ctlr_test::ClearTable();
        dev_.AddPort(0);
        SetEntry(0, kPath0, kSn);
    }
    void TearDown() override { ctlr_test::ClearTable(); }

    // Answers every request with `a`.
    void AnswerWith(const DevAnswer& a) {
        dev_.SetHandler([a](const DevCall&) { return a; });
    }
    DevCall OnlyCall() {
        auto calls = dev_.Calls();
        EXPECT_EQ(calls.size(), 1u);
        return calls.empty() ? DevCall{} : calls.back();
    }

    ServerDirScope dir_;
    FakeDevice dev_{dir_.path()};
};

TEST_F(ChannelTest, SendsTheBlockPrefixAndCopiesTheAnswerOut) {
    DevAnswer a;
    a.data = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8};
    AnswerWith(a);
    std::vector<uint8_t> in(40);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = static_cast<uint8_t>(i + 2);
    uint8_t out[8] = {};
    uint16_t err = 0xBEEF;
    EXPECT_EQ(CtlrDevIoControl(0, IOCTL_DTR_INBAND_COMMAND, 40, in.data(), 8, out, &err),
              SYS_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 8), a.data);
    EXPECT_EQ(err, 0xBEEF);

    DevCall c = OnlyCall();
    EXPECT_EQ(c.ioctl, 0x0004D008u);
    EXPECT_EQ(c.blockSize, 524316u);
    EXPECT_EQ(c.n, 28u + 40u);  // only the meaningful prefix travels
    EXPECT_EQ(c.Field(0), 28u);
    EXPECT_EQ(std::string(c.block.begin() + 4, c.block.begin() + 12), "babecafe");
    EXPECT_EQ(c.Field(12), 200u);
    EXPECT_EQ(c.ControlCode(), 0x9C402400u);
    EXPECT_EQ(c.Field(20), 0u);
    EXPECT_EQ(c.Length(), 40u);
    EXPECT_EQ(c.DataBytes(0, 40), in);
    EXPECT_EQ(dir_.Log(), "");
}

TEST_F(ChannelTest, LengthFollowsTheLargerSizeExceptForBulkCommands) {
    struct Case {
        uint8_t first;
        uint32_t inSize, outSize, length;
    } cases[] = {
        {148, 40, 515, 40}, {149, 10, 515, 10}, {150, 9, 0, 9},    {177, 5, 100, 5},
        {203, 5, 100, 5},   {1, 32, 515, 515},  {2, 100, 50, 100}, {2, 64, 64, 64},
    };
    AnswerWith(DevAnswer{});
    for (const Case& k : cases) {
        dev_.ClearCalls();
        std::vector<uint8_t> in(k.inSize, 0);
        in[0] = k.first;
        std::vector<uint8_t> out(k.outSize + 1);
        EXPECT_EQ(CtlrDevIoControl(0, IOCTL_DTR_INBAND_COMMAND, k.inSize, in.data(), k.outSize,
                                   out.data(), nullptr),
                  SYS_SUCCESS);
        EXPECT_EQ(OnlyCall().Length(), k.length) << "command " << int(k.first);
    }
    // Without input the first-byte rule does not apply: an event fetch of 32 bytes.
    dev_.ClearCalls();
    uint8_t ev[32];
    CtlrDevIoControl(0, IOCTL_DTR_GET_INBAND_EVENT, 0, nullptr, 32, ev, nullptr);
    EXPECT_EQ(OnlyCall().Length(), 32u);
    EXPECT_EQ(OnlyCall().n, 28u);
}

TEST_F(ChannelTest, SizesAtTheEdgeOfTheDataArea) {
    AnswerWith(DevAnswer{});
    std::vector<uint8_t> in(0x80000, 0x5A);
    std::vector<uint8_t> out(0x80001, 0xAA);
    uint16_t err = 0xBEEF;
    EXPECT_EQ(CtlrDevIoControl(0, IOCTL_DTR_INBAND_COMMAND, 0x7FFFF, in.data(), 0, nullptr, &err),
              SYS_SUCCESS);
    EXPECT_EQ(OnlyCall().n, 28u + 0x7FFFFu);
    dev_.ClearCalls();

    EXPECT_EQ(CtlrDevIoControl(0, IOCTL_DTR_INBAND_COMMAND, 0x80000, in.data(), 0, nullptr, &err),
              SYSFAIL_IOCTL_INSIZE_ERR);
    EXPECT_EQ(err, 0xBEEF);
    EXPECT_EQ(dev_.CallCount(), 0u);
    EXPECT_EQ(dir_.Log(), "SYSFAIL_IOCTL_INSIZE_ERR.\n");

    // An answer beyond the data area cannot be read out of the block: refused, nothing opened.
    EXPECT_EQ(
        CtlrDevIoControl(0, IOCTL_DTR_INBAND_COMMAND, 4, in.data(), 0x80001, out.data(), &err),
        SYSFAIL_IOCTL_INSIZE_ERR);
    EXPECT_EQ(dev_.CallCount(), 0u);
    EXPECT_EQ(out[0], 0xAA);
    // The whole data area may be asked for.
    DevAnswer echo4;
    echo4.n2 = 32;  // the block comes back with the 4 input bytes
    AnswerWith(echo4);
    EXPECT_EQ(
        CtlrDevIoControl(0, IOCTL_DTR_INBAND_COMMAND, 4, in.data(), 0x80000, out.data(), &err),
        SYS_SUCCESS);
    EXPECT_EQ(out[0], 0x5A);
    EXPECT_EQ(out[4], 0x00);
    EXPECT_EQ(out[0x7FFFF], 0x00);
}

TEST_F(ChannelTest, EntryChecksComeFirstInTheirOrder) {
    AnswerWith(DevAnswer{});
    std::vector<uint8_t> big(0x80000);
    struct Case {
        uint8_t state;
        const char* path;
        uint32_t inSize;
        uint8_t status;
        const char* log;
    } cases[] = {
        {0, kPath0, 4, SYSFAIL_CTLR_NOT_ALIVE, "Not CTLR_STATUS_ALIVE.\n"},
        {0, "", 0x80000, SYSFAIL_CTLR_NOT_ALIVE, "Not CTLR_STATUS_ALIVE.\n"},
        {2, kPath0, 4, SYSFAIL_CTLR_NOT_ALIVE, "Not CTLR_STATUS_ALIVE.\n"},
        {1, "", 4, SYSFAIL_IOCTL_EMPTY_DEVNAME, "SYSFAIL_IOCTL_EMPTY_DEVNAME.\n"},
        {1, "", 0x80000, SYSFAIL_IOCTL_EMPTY_DEVNAME, "SYSFAIL_IOCTL_EMPTY_DEVNAME.\n"},
    };
    for (const Case& k : cases) {
        WriteFile(dir_.File("ServerLog.txt"), "");
        SetEntry(0, k.path, kSn, 0, k.state);
        uint16_t err = 7;
        EXPECT_EQ(
            CtlrDevIoControl(0, IOCTL_DTR_INBAND_COMMAND, k.inSize, big.data(), 0, nullptr, &err),
            k.status);
        EXPECT_EQ(err, 7);
        EXPECT_EQ(dir_.Log(), k.log);
    }
    EXPECT_EQ(dev_.CallCount(), 0u);
}

TEST_F(ChannelTest, MissingDeviceFailsToOpenWithTheSystemError) {
    const char* paths[] = {"\\\\.\\Scsi7: ", "\\\\.\\: ", "\\\\.\\a/b: "};
    for (const char* p : paths) {
        WriteFile(dir_.File("ServerLog.txt"), "");
        SetEntry(0, p, kSn);
        uint16_t err = 7;
        EXPECT_EQ(CtlrDevIoControl(0, IOCTL_DTR_INBAND_COMMAND, 0, nullptr, 0, nullptr, &err),
                  SYSFAIL_IOCTL_OPEN_FAIL)
            << p;
        EXPECT_EQ(err, 7);
        EXPECT_EQ(dir_.Log(), "Ctlr SN-CHANNEL-0001 : Create device handle fail, status : 2\n");
    }
}

TEST_F(ChannelTest, EventFetchReturnCodeSaysWhetherAnEventCame) {
    DevAnswer ev;
    ev.returnCode = 1;
    for (uint8_t i = 0; i < 32; ++i)
        ev.data.push_back(static_cast<uint8_t>(0xC0 + i));
    AnswerWith(ev);
    uint8_t out[32];
    std::memset(out, 0xAA, sizeof out);
    const uint32_t codes[] = {IOCTL_DTR_GET_INBAND_EVENT, IOCTL_DTR_GET_INBAND_EVENT_S1,
                              IOCTL_DTR_GET_INBAND_EVENT_S2, IOCTL_DTR_GET_INBAND_EVENT_S3};
    for (uint32_t code : codes) {
        EXPECT_EQ(CtlrDevIoControl(0, code, 0, nullptr, 32, out, nullptr), SYS_SUCCESS);
        EXPECT_EQ(std::vector<uint8_t>(out, out + 32), ev.data);
    }
    EXPECT_EQ(ctlr_test::CountOf(
                  dir_.Log(),
                  "Ctlr SN-CHANNEL-0001 : DeviceIoControl IOCTL_DTR_GET_INBAND_EVENT Success.\n"),
              4u);

    // ReturnCode 0: nothing pending, nothing copied, nothing logged.
    WriteFile(dir_.File("ServerLog.txt"), "");
    DevAnswer none;
    none.data = std::vector<uint8_t>(32, 0x11);
    AnswerWith(none);
    std::memset(out, 0xAA, sizeof out);
    uint16_t err = 7;
    EXPECT_EQ(CtlrDevIoControl(0, IOCTL_DTR_GET_INBAND_EVENT_S2, 0, nullptr, 32, out, &err),
              SYSFAIL_IOCTL_RETURN_ERR);
    EXPECT_EQ(out[0], 0xAA);
    EXPECT_EQ(out[31], 0xAA);
    EXPECT_EQ(err, 7);
    EXPECT_EQ(dir_.Log(), "");
}

TEST_F(ChannelTest, CommandRefusedByTheControllerGivesItsErrorCode) {
    DevAnswer a;
    a.returnCode = 0x00420001;
    a.data = std::vector<uint8_t>(16, 0x33);
    AnswerWith(a);
    uint8_t in[4] = {7, 0, 0, 0};
    uint8_t out[16];
    std::memset(out, 0xAA, sizeof out);
    uint16_t err = 0;
    EXPECT_EQ(CtlrDevIoControl(0, IOCTL_DTR_INBAND_COMMAND, 4, in, 16, out, &err),
              SYSFAIL_IOCTL_RETURN_ERR);
    EXPECT_EQ(err, 0x0042);
    EXPECT_EQ(out[0], 0xAA);
    EXPECT_EQ(dir_.Log(), "lReturnCode: 0x420001\nInBand ErrCode: 0x42\n");
    // Without an error-code reference the status alone.
    EXPECT_EQ(CtlrDevIoControl(0, IOCTL_DTR_INBAND_COMMAND, 4, in, 16, out, nullptr),
              SYSFAIL_IOCTL_RETURN_ERR);
}

TEST_F(ChannelTest, DriverFailureAndBrokenAnswersAreDeviceIoControlFailures) {
    DevAnswer failed;
    failed.result = 5;
    AnswerWith(failed);
    uint16_t err = 0;
    uint8_t out[8];
    std::memset(out, 0xAA, sizeof out);
    EXPECT_EQ(CtlrDevIoControl(0, IOCTL_DTR_INBAND_COMMAND, 0, nullptr, 8, out, &err),
              SYSFAIL_IOCTL_FAIL);
    EXPECT_EQ(err, INBAND_ERR_IOCTL_FAIL);
    EXPECT_EQ(out[0], 0xAA);
    EXPECT_EQ(dir_.Log(), "Ctlr SN-CHANNEL-0001 : DeviceIoControl Fail, status: 5, 0.\n");
    EXPECT_EQ(CtlrDevIoControl(0, IOCTL_DTR_INBAND_COMMAND, 0, nullptr, 8, out, nullptr),
              SYSFAIL_IOCTL_FAIL);

    struct Case {
        const char* what;
        DevAnswer a;
    };
    std::vector<Case> broken;
    DevAnswer a;
    a.mode = DevAnswer::Mode::NoReply;
    broken.push_back({"no reply", a});
    a.mode = DevAnswer::Mode::ShortHeader;
    broken.push_back({"short header", a});
    a.mode = DevAnswer::Mode::ShortBody;
    a.data = std::vector<uint8_t>(100, 1);
    broken.push_back({"short body", a});
    a = DevAnswer{};
    a.n2 = 27;
    broken.push_back({"n2 below the header", a});
    a.n2 = 524317;
    broken.push_back({"n2 beyond the block", a});
    a.n2 = 0;
    broken.push_back({"n2 0 on success", a});
    for (const Case& k : broken) {
        AnswerWith(k.a);
        err = 0;
        WriteFile(dir_.File("ServerLog.txt"), "");
        EXPECT_EQ(CtlrDevIoControl(0, IOCTL_DTR_INBAND_COMMAND, 0, nullptr, 8, out, &err),
                  SYSFAIL_IOCTL_FAIL)
            << k.what;
        EXPECT_EQ(err, INBAND_ERR_IOCTL_FAIL) << k.what;
        EXPECT_NE(dir_.Log().find("DeviceIoControl Fail, status: "), std::string::npos);
    }
}

TEST_F(ChannelTest, AnswerShorterThanAskedForIsZeroFilledAlsoAfterALongerOne) {
    // The block is reused between calls: what a long answer left must not show in a later one.
    DevAnswer full;
    full.data = std::vector<uint8_t>(515, 0xEE);
    AnswerWith(full);
    std::vector<uint8_t> in(1000, 0x77);
    std::vector<uint8_t> out(515, 0xAA);
    ASSERT_EQ(
        CtlrDevIoControl(0, IOCTL_DTR_INBAND_COMMAND, 1000, in.data(), 515, out.data(), nullptr),
        SYS_SUCCESS);
    EXPECT_EQ(out, full.data);

    DevAnswer brief;
    brief.data = {1, 2, 3};
    AnswerWith(brief);
    std::fill(out.begin(), out.end(), 0xAA);
    uint8_t cmd[10] = {9};
    ASSERT_EQ(CtlrDevIoControl(0, IOCTL_DTR_INBAND_COMMAND, 10, cmd, 515, out.data(), nullptr),
              SYS_SUCCESS);
    std::vector<uint8_t> want(515, 0);
    want[0] = 1;
    want[1] = 2;
    want[2] = 3;
    EXPECT_EQ(out, want);
    DevCall last = dev_.Calls().back();
    EXPECT_EQ(last.n, 38u);
    EXPECT_EQ(last.DataBytes(0, 10), std::vector<uint8_t>(cmd, cmd + 10));
}

TEST_F(ChannelTest, ProbeSlotIsAChannelOfItsOwn) {
    AnswerWith(DevAnswer{});
    SetEntry(CTLR_PROBE_SLOT, kPath0, "");
    EXPECT_EQ(CtlrDevIoControl(CTLR_PROBE_SLOT, IOCTL_DTR_INBAND_COMMAND, 0, nullptr, 0, nullptr,
                               nullptr),
              SYS_SUCCESS);
    // Controller numbers are taken modulo the table: 16 + 15 is the probe slot again.
    EXPECT_EQ(CtlrDevIoControl(31, IOCTL_DTR_INBAND_COMMAND, 0, nullptr, 0, nullptr, nullptr),
              SYS_SUCCESS);
    EXPECT_EQ(dev_.CallCount(), 2u);
}

}  // namespace

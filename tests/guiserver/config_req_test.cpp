// Configuration requests (type 2) through the in-process GUI server: the mail recipients, the
// mail server items, the controller count, serial numbers and descriptions, the release of a
// controller's event history, unknown codes, and the length and character rules.
#include <gtest/gtest.h>
#include <sanitizer/asan_interface.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <vector>

#include "controller/CtlrHealth.h"
#include "controller/CtlrRescan.h"
#include "controller/CtlrTestUtil.h"
#include "events/EventRecord.h"
#include "guiserver/SrvConfigReq.h"
#include "mail/MailConfig.h"
#include "mail/MailDispatch.h"
#include "protocol/SysStatus.h"
#include "support/FakeDevice.h"
#include "support/TestSupport.h"

using namespace testing_support;
using gui::Bytes;

namespace {

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<std::string> LinesOf(const std::string& text) {
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        v.push_back(l);
    return v;
}

std::vector<std::string> NullLines(size_t n) {
    return std::vector<std::string>(n, "NULL");
}

class ConfigReq : public ::testing::Test {
  protected:
    void SetUp() override { ctlr_test::ClearTable(); }
    void TearDown() override { ctlr_test::ClearTable(); }

    // One request body as it stands; the reply body.
    Bytes Send(const Bytes& body) {
        gui::Reply r = gui::Exchange(TestServer(), body);
        EXPECT_TRUE(r.ok) << r.error;
        return r.body;
    }
    Bytes Cfg(uint8_t code, const Bytes& data) { return Send(gui::ConfigRequest(code, data)); }
    // The reply, and what serving the request wrote to standard output.
    Bytes CfgOut(const Bytes& body, std::string* out) {
        testing::internal::CaptureStdout();
        Bytes reply = Send(body);
        *out = testing::internal::GetCapturedStdout();
        return reply;
    }
    std::vector<std::string> MailCfg() const { return LinesOf(ReadFile(dir_.File("mail.cfg"))); }
    std::vector<std::string> MailSrvCfg() const {
        return LinesOf(ReadFile(dir_.File("mailSrv.cfg")));
    }
    bool LogHas(const std::string& text) const {
        return dir_.Log().find(text) != std::string::npos;
    }

    ServerDirScope dir_;
};

const Bytes kBlanks = Text("       ");

TEST_F(ConfigReq, RecipientSlotsAreReadSetEmptiedAndSaved) {
    // An empty slot reads as seven blanks: 13 bytes.
    EXPECT_EQ(Cfg(2, {0, 3}), Cat({2, 2, 2, 0x50, 3, 7}, kBlanks));
    EXPECT_TRUE(
        LogHas("CFGCODE_GET_MAIL_ADDR success, Status = 0x50\n"
               "CFGCODE_GET_MAIL_ADDR : Index:0x3, Addr:       \n"))
        << dir_.Log();

    EXPECT_EQ(Cfg(1, Cat({16, 3}, Text("ops@example.com"))), (Bytes{2, 2, 1, 0x50}));
    EXPECT_EQ(Cfg(2, {0, 3}), Cat({2, 2, 2, 0x50, 3, 15}, Text("ops@example.com")));
    std::vector<std::string> want = NullLines(12);
    want[3] = "ops@example.com";
    EXPECT_EQ(MailCfg(), want);

    // n = 1: the empty text empties the slot, and its line reads NULL.
    EXPECT_EQ(Cfg(1, {1, 3}), (Bytes{2, 2, 1, 0x50}));
    EXPECT_EQ(Cfg(2, {0, 3}), Cat({2, 2, 2, 0x50, 3, 7}, kBlanks));
    EXPECT_EQ(MailCfg(), NullLines(12));

    // Code 0 empties a slot.
    EXPECT_EQ(Cfg(1, Cat({4, 0}, Text("a@b"))), (Bytes{2, 2, 1, 0x50}));
    EXPECT_EQ(MailCfg()[0], "a@b");
    EXPECT_EQ(Cfg(0, {0, 0}), (Bytes{2, 2, 0, 0x50}));
    EXPECT_EQ(Cfg(2, {0, 0}), Cat({2, 2, 2, 0x50, 0, 7}, kBlanks));
    EXPECT_EQ(MailCfg(), NullLines(12));

    // A text that merely contains NULL is an address until the next start.
    EXPECT_EQ(Cfg(1, Cat({5, 11}, Text("NULL"))), (Bytes{2, 2, 1, 0x50}));
    EXPECT_EQ(Cfg(2, {0, 11}), Cat({2, 2, 2, 0x50, 11, 4}, Text("NULL")));
}

TEST_F(ConfigReq, Slot11ReadsNullAfterAFreshStart) {
    testing::internal::CaptureStdout();
    InitializeSmtp();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(Cfg(2, {0, 11}), Cat({2, 2, 2, 0x50, 0x0b, 4}, Text("NULL")));
    EXPECT_EQ(Cfg(2, {0, 10}), Cat({2, 2, 2, 0x50, 0x0a, 7}, kBlanks));
}

TEST_F(ConfigReq, SlotIndexTwelveOrMoreChangesNothing) {
    for (uint8_t slot : {uint8_t{12}, uint8_t{255}}) {
        SCOPED_TRACE(slot);
        std::string out;
        EXPECT_EQ(CfgOut(gui::ConfigRequest(2, {0, slot}), &out), (Bytes{2, 2, 2, 0x70}));
        EXPECT_EQ(out, "");
        EXPECT_TRUE(
            LogHas("CFGCODE_GET_MAIL_ADDR fail, Status = 0x70\n"
                   "REQ_SERVER_CONFIG HandleSrvConfigReq fail, bStatus 0x70.\n"))
            << dir_.Log();

        EXPECT_EQ(CfgOut(gui::ConfigRequest(0, {0, slot}), &out), (Bytes{2, 2, 0, 0x70}));
        EXPECT_EQ(out, "Err: CFGCODE_CLEAR_MAIL_ADDR, Status = 0x70\n");
        // The slot check comes first, whatever the text.
        for (const Bytes& data : {Cat({4, slot}, Text("a@b")), Cat({4, slot}, Text("a b"))}) {
            EXPECT_EQ(CfgOut(gui::ConfigRequest(1, data), &out), (Bytes{2, 2, 1, 0x70}));
            EXPECT_EQ(out, "Err: CFGCODE_UPDATE_MAIL_ADDR, Status = 0x70\n");
        }
    }
    EXPECT_FALSE(FileExists(dir_.File("mail.cfg")));
}

TEST_F(ConfigReq, MailServerItemsAreReadSetAndSaved) {
    struct Item {
        uint8_t set, get;
        std::string text;
    } items[] = {{7, 5, "smtp.example.com:587"},
                 {8, 6, "raid-agent@example.com"},
                 {9, 11, "raid-agent"},
                 {10, 12, "s3cr'et$(x)"},
                 {16, 17, "room-3"}};
    // Empty items: L = 0, 5 bytes.
    for (const Item& it : items)
        EXPECT_EQ(Cfg(it.get, {}), (Bytes{2, 2, it.get, 0x50, 0})) << int(it.get);
    EXPECT_EQ(Cfg(13, {}), (Bytes{2, 2, 13, 0x50, 0}));

    for (const Item& it : items) {
        SCOPED_TRACE(int(it.set));
        EXPECT_EQ(Cfg(it.set, Cat({static_cast<uint8_t>(it.text.size())}, Text(it.text))),
                  (Bytes{2, 2, it.set, 0x50}));
    }
    for (const Item& it : items) {
        SCOPED_TRACE(int(it.get));
        EXPECT_EQ(Cfg(it.get, {}),
                  Cat({2, 2, it.get, 0x50, static_cast<uint8_t>(it.text.size())}, Text(it.text)));
    }
    EXPECT_EQ(MailSrvCfg(),
              (std::vector<std::string>{"smtp.example.com:587", "raid-agent@example.com",
                                        "raid-agent", "s3cr'et$(x)", "NULL", "room-3"}));

    // A set clears the item over its whole capacity before the copy.
    EXPECT_EQ(Cfg(7, Cat({2}, Text("mx"))), (Bytes{2, 2, 7, 0x50}));
    EXPECT_EQ(Cfg(5, {}), Cat({2, 2, 5, 0x50, 2}, Text("mx")));
    // n = 0 empties an item; it is saved as NULL.
    EXPECT_EQ(Cfg(16, {0}), (Bytes{2, 2, 16, 0x50}));
    EXPECT_EQ(Cfg(17, {}), (Bytes{2, 2, 17, 0x50, 0}));
    EXPECT_EQ(MailSrvCfg()[5], "NULL");
}

TEST_F(ConfigReq, MailSwitchIsSavedOnLineFive) {
    EXPECT_EQ(Cfg(14, {0, 7}), (Bytes{2, 2, 14, 0x50}));
    ASSERT_EQ(MailSrvCfg().size(), 6u);
    EXPECT_EQ(MailSrvCfg()[4], "TRUE");
    EXPECT_EQ(Cfg(13, {}), (Bytes{2, 2, 13, 0x50, 1}));
    EXPECT_TRUE(MailEnableIsTrue());

    EXPECT_EQ(Cfg(14, {0, 0}), (Bytes{2, 2, 14, 0x50}));
    EXPECT_EQ(MailSrvCfg()[4], "FALSE");
    EXPECT_EQ(Cfg(13, {}), (Bytes{2, 2, 13, 0x50, 0}));
}

TEST_F(ConfigReq, Item6TakesAtMost64BytesAndTheSaveCutsThemTo63) {
    std::string text;
    for (int i = 0; i < 200; ++i)
        text += static_cast<char>('A' + i % 26);
    EXPECT_EQ(Cfg(16, Cat({200}, Text(text))), (Bytes{2, 2, 16, 0x50}));
    EXPECT_EQ(MailSrvCfg()[5], text.substr(0, 63));
    EXPECT_EQ(Cfg(17, {}), Cat({2, 2, 17, 0x50, 63}, Text(text.substr(0, 63))));
    // 64 bytes are all the request needs to hold.
    EXPECT_EQ(Cfg(16, Cat({200}, Text(text.substr(1, 64)))), (Bytes{2, 2, 16, 0x50}));
    EXPECT_EQ(MailSrvCfg()[5], text.substr(1, 63));
}

TEST_F(ConfigReq, LongestTextsAreStoredWhole) {
    const std::string a127(127, 'a'), b63(63, 'b');
    EXPECT_EQ(Cfg(1, Cat({128, 5}, Text(a127))), (Bytes{2, 2, 1, 0x50}));
    EXPECT_EQ(MailCfg()[5], a127);
    EXPECT_EQ(Cfg(7, Cat({127}, Text(a127))), (Bytes{2, 2, 7, 0x50}));
    EXPECT_EQ(Cfg(8, Cat({127}, Text(a127))), (Bytes{2, 2, 8, 0x50}));
    EXPECT_EQ(Cfg(9, Cat({63}, Text(b63))), (Bytes{2, 2, 9, 0x50}));
    EXPECT_EQ(Cfg(10, Cat({63}, Text(b63))), (Bytes{2, 2, 10, 0x50}));
    EXPECT_EQ(MailSrvCfg(), (std::vector<std::string>{a127, a127, b63, b63, "NULL", "NULL"}));
    EXPECT_EQ(Cfg(5, {}), Cat({2, 2, 5, 0x50, 127}, Text(a127)));

    // A NUL ends the text: the rest of the announced bytes is padding.
    Bytes padded = Cat({200, 6}, Text("pad@example.com"));
    padded.resize(2 + 199, 0);
    EXPECT_EQ(Cfg(1, padded), (Bytes{2, 2, 1, 0x50}));
    EXPECT_EQ(MailCfg()[6], "pad@example.com");
    Bytes item = Cat({250}, Text("mx.example.com"));
    item.resize(1 + 250, 0);
    EXPECT_EQ(Cfg(9, item), (Bytes{2, 2, 9, 0x50}));
    EXPECT_EQ(MailSrvCfg()[2], "mx.example.com");

    // A large request (its body in the large-request block) is read the same way.
    Bytes large = gui::ConfigRequest(7, Cat({5}, Text("hello")));
    large.resize(3000, 0xEE);
    EXPECT_EQ(Send(large), (Bytes{2, 2, 7, 0x50}));
    EXPECT_EQ(MailSrvCfg()[0], "hello");
}

TEST_F(ConfigReq, OverlongShortAndUnstorableTextsAreRefusedAndChangeNothing) {
    const std::string a128(128, 'a');
    struct Case {
        const char* what;
        Bytes body;
        uint8_t status;
        const char* log;     // a line the refusal logs ("" none to check)
        const char* stdOut;  // what it writes to standard output
    } cases[] = {
        {"code 1, 128 characters", gui::ConfigRequest(1, Cat({129, 0}, Text(a128))), 0x62,
         "HandleSrvConfigReq : CFG Code 0x1, text of 128 bytes too long, at most 127.\n",
         "Err: CFGCODE_UPDATE_MAIL_ADDR, Status = 0x62\n"},
        {"code 1, 254 characters",
         gui::ConfigRequest(1, Cat({255, 0}, Text(std::string(254, 'x')))), 0x62, "",
         "Err: CFGCODE_UPDATE_MAIL_ADDR, Status = 0x62\n"},
        {"code 7, 128 bytes", gui::ConfigRequest(7, Cat({128}, Text(a128))), 0x62,
         "HandleSrvConfigReq : CFG Code 0x7, text of 128 bytes too long, at most 127.\n", ""},
        {"code 8, 255 bytes", gui::ConfigRequest(8, Cat({255}, Text(std::string(255, 'y')))), 0x62,
         "", ""},
        {"code 9, 64 bytes", gui::ConfigRequest(9, Cat({64}, Text(std::string(64, 'u')))), 0x62,
         "HandleSrvConfigReq : CFG Code 0x9, text of 64 bytes too long, at most 63.\n", ""},
        {"code 10, 64 bytes", gui::ConfigRequest(10, Cat({64}, Text(std::string(64, 'p')))), 0x62,
         "", ""},
        {"code 1, length byte 0", gui::ConfigRequest(1, {0, 0}), 0x63,
         "HandleSrvConfigReq : CFG Code 0x1, length byte 0x0 counts no terminator.\n", ""},
        {"code 1, text cut short", gui::ConfigRequest(1, Cat({10, 0}, Text("a@b"))), 0x63,
         "HandleSrvConfigReq : CFG Code 0x1, request too short: 8 bytes, 14 needed.\n", ""},
        {"code 1, no slot byte", gui::ConfigRequest(1, {4}), 0x63,
         "HandleSrvConfigReq : CFG Code 0x1, request too short: 4 bytes, 5 needed.\n", ""},
        {"code 7, text cut short", gui::ConfigRequest(7, Cat({50}, Text("mx.example"))), 0x63,
         "HandleSrvConfigReq : CFG Code 0x7, request too short: 14 bytes, 54 needed.\n", ""},
        {"code 7, no length byte", gui::ConfigRequest(7, {}), 0x63, "", ""},
        {"code 16, fewer than 64 bytes of 200", gui::ConfigRequest(16, Cat({200}, Text("abc"))),
         0x63, "HandleSrvConfigReq : CFG Code 0x10, request too short: 7 bytes, 68 needed.\n", ""},
        {"code 0, no slot byte", gui::ConfigRequest(0, {0}), 0x63, "", ""},
        {"code 2, no slot byte", gui::ConfigRequest(2, {}), 0x63, "", ""},
        {"code 4, no number byte", gui::ConfigRequest(4, {0}), 0x63, "", ""},
        {"code 14, no switch byte", gui::ConfigRequest(14, {0}), 0x63, "", ""},
        {"code 18, no number byte", gui::ConfigRequest(18, {}), 0x63, "", ""},
        {"code 15, 10 serial bytes", gui::ConfigRequest(15, Text("SN-0000001")), 0x63,
         "HandleSrvConfigReq : CFG Code 0xf, request too short: 13 bytes, 19 needed.\n", ""},
        {"no code byte", Bytes{2, 2}, 0x63,
         "HandleSrvConfigReq : no CFG Code, request too short: 2 bytes, 3 needed.\n", ""},
        {"code 1, a blank", gui::ConfigRequest(1, Cat({8, 0}, Text("a b@c.d"))), 0x64,
         "HandleSrvConfigReq : CFG Code 0x1, text holds a blank or control character (0x20).\n",
         "Err: CFGCODE_UPDATE_MAIL_ADDR, Status = 0x64\n"},
        {"code 1, a line feed", gui::ConfigRequest(1, Cat({6, 0}, Text("a@b\nc"))), 0x64, "",
         "Err: CFGCODE_UPDATE_MAIL_ADDR, Status = 0x64\n"},
        {"code 10, a blank", gui::ConfigRequest(10, Cat({13}, Text("correct horse"))), 0x64,
         "HandleSrvConfigReq : CFG Code 0xa, text holds a blank or control character (0x20).\n",
         ""},
        {"code 7, a tab", gui::ConfigRequest(7, Cat({3}, Text("a\tb"))), 0x64, "", ""},
        {"code 16, DEL",
         gui::ConfigRequest(16, Cat({3}, Text("a\x7f"
                                              "b"))),
         0x64,
         "HandleSrvConfigReq : CFG Code 0x10, text holds a blank or control character (0x7f).\n",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string out;
        Bytes reply = CfgOut(c.body, &out);
        const uint8_t code = c.body.size() > 2 ? c.body[2] : 0;
        EXPECT_EQ(reply, (Bytes{2, 2, code, c.status}));
        EXPECT_EQ(out, c.stdOut);
        if (*c.log != '\0') {
            EXPECT_TRUE(LogHas(c.log)) << dir_.Log();
        }
        char line[80];
        std::snprintf(line, sizeof line,
                      "REQ_SERVER_CONFIG HandleSrvConfigReq fail, bStatus 0x%x.\n", c.status);
        EXPECT_TRUE(LogHas(line));
    }
    // Nothing changed, nothing was saved.
    EXPECT_FALSE(FileExists(dir_.File("mail.cfg")));
    EXPECT_FALSE(FileExists(dir_.File("mailSrv.cfg")));
    EXPECT_EQ(Cfg(2, {0, 0}), Cat({2, 2, 2, 0x50, 0, 7}, kBlanks));
    for (uint8_t get : {5, 6, 11, 12, 17})
        EXPECT_EQ(Cfg(get, {}), (Bytes{2, 2, get, 0x50, 0}));
    EXPECT_EQ(Cfg(13, {}), (Bytes{2, 2, 13, 0x50, 0}));
}

// The handler reads no request byte at or past the body's length, whatever the code (the bytes
// after the body are poisoned where AddressSanitizer runs); a body without its code byte is
// refused. Bodies of up to 4 bytes: none of them changes a setting.
TEST_F(ConfigReq, NoCodeReadsPastTheBody) {
    testing::internal::CaptureStdout();  // the unknown codes are printed
    for (int code = -1; code <= CFGCODE_LAST + 1; ++code) {
        for (uint32_t len = 0; len <= 4; ++len) {
            SCOPED_TRACE(testing::Message() << "code " << code << ", " << len << " bytes");
            auto conn = std::make_unique<GuiConn>();
            const uint8_t body[] = {2, 2, static_cast<uint8_t>(code), 1, 0};
            std::memcpy(conn->cReqBuf, body, sizeof body);
            conn->lReqLen = len;
            uint8_t* past = conn->cReqBuf + len;
            const size_t pastLen = sizeof conn->cReqBuf - len;
            ASAN_POISON_MEMORY_REGION(past, pastLen);
            const uint8_t s = HandleSrvConfigReq(*conn);
            ASAN_UNPOISON_MEMORY_REGION(past, pastLen);
            if (len <= CFG_OFF_CODE) {
                EXPECT_EQ(s, SYSFAIL_CFG_REQ_LENGTH_ERR);
            }
        }
    }
    testing::internal::GetCapturedStdout();
}

TEST_F(ConfigReq, UnknownCodesArePrintedAndRefused) {
    struct {
        uint8_t code;
        const char* printed;
    } cases[] = {{19, "Server CFG Code = 0x13\n"},
                 {0x7f, "Server CFG Code = 0x7f\n"},
                 {0x80, "Server CFG Code = 0xffffff80\n"},
                 {0xf0, "Server CFG Code = 0xfffffff0\n"},
                 {0xff, "Server CFG Code = 0xffffffff\n"}};
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(CfgOut(gui::ConfigRequest(c.code, {0, 0, 0}), &out), (Bytes{2, 2, c.code, 0x60}));
        EXPECT_EQ(out, c.printed);
    }
    EXPECT_TRUE(LogHas("REQ_SERVER_CONFIG HandleSrvConfigReq fail, bStatus 0x60.\n"));
}

// ---- controllers ----

void PutText(std::array<uint8_t, 512>& ident, size_t off, size_t room, const std::string& s) {
    std::memset(ident.data() + off, 0, room);
    std::memcpy(ident.data() + off, s.data(), std::min(room, s.size()));
}

Bytes Sn16(const std::string& s) {
    Bytes b(16, 0);
    std::copy(s.begin(), s.begin() + static_cast<long>(std::min<size_t>(16, s.size())), b.begin());
    return b;
}

// The 112-byte reply of code 18: number, present, the text and its NUL, zeros.
Bytes InfoReply(uint8_t n, const std::string& text) {
    Bytes b(112, 0);
    b[0] = 2;
    b[1] = 2;
    b[2] = 18;
    b[3] = 0x50;
    b[4] = n;
    if (!text.empty()) {
        b[5] = 1;
        std::copy(text.begin(), text.end(), b.begin() + 6);
    }
    return b;
}

class ConfigCtlr : public ConfigReq {
  protected:
    FakeControllers fc_{dir_.path()};
};

TEST_F(ConfigCtlr, CountRescansAndSerialNumbersGoOutAsStored) {
    fc_.Add(0, 0, "SN-CFG-A");
    fc_.Add(3, 0, "SN-CFG-B");
    EXPECT_EQ(CountCtlr(), 0);  // nothing found yet: the count comes after a rescan
    EXPECT_EQ(Cfg(3, {}), (Bytes{2, 2, 3, 0x50, 2}));
    EXPECT_TRUE(LogHas("RescanCtlr : \\\\.\\Scsi3: , Index : 0x1 was found.\n"));
    EXPECT_TRUE(LogHas("CFGCODE_GET_CTRL_COUNT = 0x2\n"));

    Bytes sn0 = Cat({2, 2, 4, 0x50}, Text("SN-CFG-A"));
    sn0.resize(23, 0);
    EXPECT_EQ(Cfg(4, {0, 0}), sn0);
    for (uint8_t n : {uint8_t{2}, uint8_t{14}, uint8_t{15}, uint8_t{255}})
        EXPECT_EQ(Cfg(4, {0, n}), (Bytes{2, 2, 4, 0x61})) << int(n);

    // The first 19 bytes of cCtrlSN as they stand, bytes after a NUL included.
    {
        std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
        std::memcpy(GetCtlrEntry(1).cCtrlSN, "AB\0CDEFGHIJKLMNOPQ\xff", 19);
    }
    EXPECT_EQ(Cfg(4, {0, 1}),
              Cat({2, 2, 4, 0x50}, Bytes{'A', 'B', 0, 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K',
                                         'L', 'M', 'N', 'O', 'P', 'Q', 0xff}));

    fc_.RemovePort(0);
    fc_.RemovePort(3);
    EXPECT_EQ(Cfg(3, {}), (Bytes{2, 2, 3, 0x50, 0}));
    EXPECT_EQ(Cfg(4, {0, 0}), (Bytes{2, 2, 4, 0x61}));
}

TEST_F(ConfigCtlr, DescriptionOfAnAbsentControllerIsZeros) {
    ctlr_test::SetEntry(5, "\\\\.\\Scsi0: ", "SN-STALE", 0, CTLR_STATUS_EMPTY);
    for (uint8_t n : {uint8_t{0}, uint8_t{5}, uint8_t{15}, uint8_t{200}})
        EXPECT_EQ(Cfg(18, {0, n}), InfoReply(n, "")) << int(n);
    EXPECT_EQ(fc_.device().CallCount(), 0u);
}

TEST_F(ConfigCtlr, DescriptionOfALiveControllerAfterItsRefresh) {
    for (int port = 0; port < 3; ++port)
        fc_.Add(port, 0, "SN-FILL-" + std::to_string(port));
    fc_.Add(3, 0, "SN0001").page20 = 0x1a;
    EXPECT_EQ(Cfg(3, {}), (Bytes{2, 2, 3, 0x50, 4}));
    // What the unit answers now is what the description shows: the refresh identifies it again.
    {
        std::lock_guard<std::mutex> lock(fc_.lock());
        FakeUnit* u = fc_.Unit(3, 0);
        PutText(u->ident, 16, 16, "R1");
        PutText(u->ident, 112, 16, "V2");
        u->ident[95] = 255;
        u->ident[107] = 2;
    }
    EXPECT_EQ(Cfg(18, {0, 3}),
              InfoReply(3, "Server:3@1SN0001@2LocalHost@3-1@42@5R1@6V2@71aGuiSrvEnd"));

    // A refresh that fails leaves the entry as it was, and the description is made from it.
    {
        std::lock_guard<std::mutex> lock(fc_.lock());
        FakeUnit* u = fc_.Unit(3, 0);
        PutText(u->ident, 16, 16, "R9");
        u->identifyFails = true;
    }
    EXPECT_EQ(Cfg(18, {0, 3}),
              InfoReply(3, "Server:3@1SN0001@2LocalHost@3-1@42@5R1@6V2@71aGuiSrvEnd"));
}

// Code 0x41 answers from the table and the relay's counts: no controller is asked anything.
TEST_F(ConfigCtlr, StatusTellsTheUnitsRoleAndItsFailedRelaysWithoutAskingIt) {
    fc_.Add(0, 0, "SN-ST-A");
    fc_.Add(0, 1, "SN-ST-B");
    EXPECT_EQ(Cfg(3, {}), (Bytes{2, 2, 3, 0x50, 2}));
    const size_t calls = fc_.device().CallCount();

    EXPECT_EQ(Cfg(0x41, {0, 0}), (Bytes{2, 2, 0x41, 0x50, 0, 1, 0, 0}));
    EXPECT_EQ(Cfg(0x41, {0, 1}), (Bytes{2, 2, 0x41, 0x50, 1, 1, 16, 0}));
    for (uint8_t n : {uint8_t{2}, uint8_t{15}, uint8_t{255}})
        EXPECT_EQ(Cfg(0x41, {0, n}), (Bytes{2, 2, 0x41, 0x50, n, 0, 0, 0})) << int(n);

    // Failed relays in a row, for the serial the unit carries; a count kept for another serial
    // at the same number is not this unit's.
    const Bytes b = Sn16("SN-ST-B"), other = Sn16("SN-OTHER");
    for (int i = 0; i < 3; ++i)
        NoteInBandOutcome(1, b.data(), "SN-ST-B", SYSFAIL_INBAND_CMD_FAIL, 0);
    NoteInBandOutcome(0, other.data(), "SN-OTHER", SYSFAIL_INBAND_CMD_FAIL, 0);
    EXPECT_EQ(Cfg(0x41, {0, 1}), (Bytes{2, 2, 0x41, 0x50, 1, 1, 16, 3}));
    EXPECT_EQ(Cfg(0x41, {0, 0}), (Bytes{2, 2, 0x41, 0x50, 0, 1, 0, 0}));
    NoteInBandOutcome(1, b.data(), "SN-ST-B", SYS_SUCCESS, 0);
    EXPECT_EQ(Cfg(0x41, {0, 1}), (Bytes{2, 2, 0x41, 0x50, 1, 1, 16, 0}));

    EXPECT_EQ(fc_.device().CallCount(), calls);
    EXPECT_EQ(Cfg(0x41, {}), (Bytes{2, 2, 0x41, 0x63}));  // no number: refused, nothing read
}

TEST_F(ConfigCtlr, LongestDescriptionIsBoundedByTheFieldsAndEndsInsideTheReply) {
    const std::string sn19 = "S234567890123456789";
    ctlr_test::SetEntry(14, "\\\\.\\Scsi5: ", sn19.c_str());
    {
        // Whatever stands in the fields' terminator room stays out of the text.
        std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
        CtlrEntry& e = GetCtlrEntry(14);
        std::memset(e.cIdent16, 'X', sizeof e.cIdent16);
        std::memset(e.cIdent112, 'Y', sizeof e.cIdent112);
        e.bPage20Byte = 0xff;
    }
    {
        FakeUnit& u = fc_.Add(5, 0, sn19);
        std::lock_guard<std::mutex> lock(fc_.lock());
        std::memset(u.ident.data() + 16, 'M', 16);
        std::memset(u.ident.data() + 112, 'F', 16);
        u.ident[95] = 254;
        u.ident[107] = 255;
    }
    const std::string text = "Server:14@1" + sn19 + "@2LocalHost@3254@4255@5" +
                             std::string(16, 'M') + "@6" + std::string(16, 'F') + "@7ffGuiSrvEnd";
    ASSERT_EQ(text.size(), 100u);
    EXPECT_EQ(Cfg(18, {0, 14}), InfoReply(14, text));
}

TEST_F(ConfigCtlr, ClearEventsReleasesTheNamedControllersHistoryOnly) {
    ctlr_test::SetEntry(4, "\\\\.\\Scsi0: ", "SN-EVENTS-0004");
    ctlr_test::SetEntry(5, "\\\\.\\Scsi1: ", "SN-EVENTS-0005");
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(AddEventBinLine(*GetEventBinList(4), nullptr, "line-of-4", nullptr, false));
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(AddEventBinLine(*GetEventBinList(5), nullptr, "line-of-5", nullptr, false));
    const std::string log = dir_.Log();

    // An unknown serial number: the same short reply, nothing released.
    EXPECT_EQ(Cfg(15, Sn16("SN-NOBODY")), (Bytes{2, 2, 15, 0x50}));
    EXPECT_EQ(GetEventBinCounts(4).lCount, 3u);
    EXPECT_EQ(GetEventBinCounts(5).lCount, 2u);

    // The history file goes with it: a reload (a rescan, a restart) brings nothing back.
    ASSERT_TRUE(WriteFile(dir_.File("event_bin_SN-EVENTS-0004.txt"), "line-of-4\nline-of-4\n"));
    EXPECT_EQ(Cfg(15, Sn16("SN-EVENTS-0004")), (Bytes{2, 2, 15, 0x50}));
    EXPECT_EQ(GetEventBinCounts(4).lCount, 0u);
    EXPECT_EQ(ReadFile(dir_.File("event_bin_SN-EVENTS-0004.txt")), "");
    EXPECT_EQ(GetEventBinCounts(4).lPending, 3u);  // pending keeps its value
    EXPECT_EQ(GetEventBinCounts(5).lCount, 2u);
    // An entry that is no longer alive is not named by its old serial number.
    ctlr_test::SetEntry(5, "\\\\.\\Scsi1: ", "SN-EVENTS-0005", 0, CTLR_STATUS_EMPTY);
    EXPECT_EQ(Cfg(15, Sn16("SN-EVENTS-0005")), (Bytes{2, 2, 15, 0x50}));
    EXPECT_EQ(GetEventBinCounts(5).lCount, 2u);
    EXPECT_EQ(dir_.Log(), log);  // code 15 logs nothing
}

}  // namespace

// EventToText: the exact text and mail decision of every event kind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>

#include "events/EventText.h"

namespace {

// An event whose first bytes are `head` and the rest zero.
CtlrEvent MakeEvent(std::initializer_list<unsigned> head) {
    uint8_t b[EVENT_REC_SIZE] = {};
    size_t k = 0;
    for (unsigned v : head)
        b[k++] = static_cast<uint8_t>(v);
    return CtlrEvent::FromBytes(b);
}

std::string Render(const CtlrEvent& e, bool* mail = nullptr) {
    char text[EVENT_TEXT_MAX];
    std::memset(text, 'x', sizeof text);
    bool m = EventToText(e, text);
    if (mail != nullptr) *mail = m;
    EXPECT_EQ(m, EventMailFlag.load());
    return text;
}

std::string Repeat(const std::string& s, int n) {
    std::string r;
    for (int i = 0; i < n; ++i)
        r += s;
    return r;
}

struct TextCase {
    const char* name;
    std::initializer_list<unsigned> bytes;  // bytes 0, 1, 2, ...; the rest are zero
    std::string text;
    bool mail;
};

const std::string kZeroCdb = Repeat("< 0>", 16) + "\n";
const std::string kCountingCdb =
    "< 1>< 2>< 3>< 4>< 5>< 6>< 7>< 8>< 9>< a>< b>< c>< d>< e>< f><10>\n";

const TextCase kTextCases[] = {
    // Undefined type codes.
    {"type 0", {0}, "Undefined Event Type[0x0].\n", false},
    {"type 255", {255}, "Undefined Event Type[0xff].\n", false},
    {"type 2", {2}, "Undefined Event Type[0x2].\n", false},
    {"type 5", {5}, "Undefined Event Type[0x5].\n", false},
    {"type 12", {12}, "Undefined Event Type[0xc].\n", false},
    {"type 13", {13}, "Undefined Event Type[0xd].\n", false},
    {"type 27", {27}, "Undefined Event Type[0x1b].\n", false},
    {"type 169", {169}, "Undefined Event Type[0xa9].\n", false},
    {"type 171", {171}, "Undefined Event Type[0xab].\n", false},
    // 1: asynchronous task.
    {"task rebuild start", {1, 0, 0x9D, 4}, "Rebuild Drive Start.\n", false},
    {"task edit fail", {1, 0, 0x62, 0}, "Edit or Reinitialize RAID Fail.\n", false},
    {"task check success", {1, 0, 0x63, 1}, "RAID Check Success.\n", false},
    {"task parity cancelled", {1, 0, 0x65, 2}, "Rebuild Parity Cancelled.\n", false},
    {"task expand pause", {1, 0, 0x69, 3}, "RAID Expand Pause.\n", false},
    {"task shot pause 5", {1, 0, 0x70, 5}, "Create Shot Pause.\n", false},
    {"task resync continued", {1, 0, 0x72, 6}, "Shot Resynchronize Continued.\n", false},
    {"task bgrw", {1, 0, 0xBA, 1}, "RAID BGRW Success.\n", false},
    {"task migrate", {1, 0, 0xC5, 4}, "RAID Migrate Start.\n", false},
    {"task undefined both",
     {1, 0, 0, 7},
     "Undefined Async Type[0x0]  Undefined Async State[0x7].\n",
     false},
    {"task undefined state 255",
     {1, 0, 0x9D, 255},
     "Rebuild Drive  Undefined Async State[0xff].\n",
     false},
    // 3: disk, table D.
    {"disk offline", {3, 0, 0, 5, 1, 0, 0, 1}, "RAID 0, Disk B5 is Offline or Plugout.\n", true},
    {"disk online no raid", {3, 0, 255, 5, 0, 0, 0, 1}, "Disk B5 is Online or Plugin.\n", false},
    {"disk raid 254", {3, 0, 254, 0, 2}, "RAID 254, Disk A0 is Adding Start.\n", false},
    {"disk adding complete", {3, 0, 1, 2, 3}, "RAID 1, Disk A2 is Adding Complete.\n", false},
    {"disk adding fail", {3, 0, 1, 2, 4}, "RAID 1, Disk A2 is Adding Fail.\n", true},
    {"disk adding warning", {3, 0, 1, 2, 5}, "RAID 1, Disk A2 is Adding Warning.\n", true},
    {"disk lba48", {3, 0, 1, 2, 6}, "RAID 1, Disk A2 is Adding : LBA48 Not Support.\n", false},
    {"disk adding continued", {3, 0, 1, 2, 7}, "RAID 1, Disk A2 is Adding Continued.\n", false},
    {"disk undefined status",
     {3, 0, 255, 2, 8},
     "Disk A2 is Undefined Disk Event Status[0x8].\n",
     false},
    {"disk letter Z", {3, 0, 255, 1, 0, 0, 0, 25}, "Disk Z1 is Online or Plugin.\n", false},
    {"disk letter bracket", {3, 0, 255, 1, 0, 0, 0, 26}, "Disk [1 is Online or Plugin.\n", false},
    {"disk letter wraps", {3, 0, 255, 1, 0, 0, 0, 200}, "Disk \t1 is Online or Plugin.\n", false},
    {"disk letter code 0", {3, 0, 255, 1, 0, 0, 0, 191}, "Disk ?1 is Online or Plugin.\n", false},
    // 4: boot.
    {"boot", {4, 9, 9, 9}, "System Boot up OK.\n", false},
    // 6: module self-test, tables M and R.
    {"rom image pass", {6, 0, 2, 1, 1}, "ROM image 1 Check Pass.\n", false},
    {"rom image 2 fail", {6, 0, 2, 2, 0}, "ROM image 2 Check Fail.\n", false},
    {"serial port 1", {6, 0, 0, 1, 1}, "Serial Port 1 Check Pass.\n", false},
    {"serial port 2 undefined result",
     {6, 0, 0, 2, 9},
     "Serial Port 2 Check Undefined Status[0x9].\n",
     false},
    {"serial port 3", {6, 0, 0, 3, 1}, "Undefined Module[0x3] Check Pass.\n", false},
    {"memory module 1", {6, 0, 1, 1, 1}, "Memory Module 1 Check Pass.\n", false},
    {"memory module 2", {6, 0, 1, 2, 0}, "Undefined Module[0x2] Check Fail.\n", false},
    {"sata chip 1", {6, 0, 5, 1, 1}, "SATA Chip 1 Check Pass.\n", false},
    {"sata chip 2", {6, 0, 5, 2, 1}, "SATA Chip 2 Check Pass.\n", false},
    {"sata chip 0", {6, 0, 5, 0, 1}, "Undefined Module[0x0] Check Pass.\n", false},
    {"module kind 3", {6, 0, 3, 1, 1}, "Undefined Module[0x3] \nCheck Pass.\n", false},
    {"module kind 255", {6, 0, 255, 1, 0}, "Undefined Module[0xff] \nCheck Fail.\n", false},
    // 7: SAS channel.
    {"sas channel",
     {7, 0, 3, 0x02, 0x05, 0x24, 0x00, 0x1e, 0x28, 0x78, 0x56, 0x34, 0x12, 0xff, 0xff, 0xff, 0xff,
      3, 1},
     "Disk B3 has SAS Channel Event.\nSCSI Status: 0x2.\nSense Key: 0x5.\nASC: 0x24.\nASCQ: "
     "0x0.\nTimeout: 0x1e.\nSAS Cmd Code: 0x28.\nSAS Command LBA Low: 0x12345678.\nSAS Command "
     "LBA High: 0xffffffff.\nSAS Command Retry Count: 0x3.\n",
     false},
    // 8: slow read.
    {"slow read",
     {8, 0, 4, 0x10, 0x00, 0x34, 0x12, 0x01, 0x00, 0x00, 0x00, 0xef, 0xbe, 0xad, 0xde, 0x05, 0x00,
      2},
     "Appear Diag Slow Read in Disk C4.\nSlow Read Time: 0x10 ms.\nAverage Read Response Time "
     "(Average + Threshold): 0x1234 ms.\nSlow Read Count for the Disk: 0x1 ms.\nSlow Read LBA: "
     "0xdeadbeef ms.\nAverage Move time: 0x5 ms.\n",
     false},
    // 9: disk read/write test.
    {"rw test started", {9, 0, 0, 1, 2, 3}, "Disk RW test started.\n", false},
    {"rw test completed", {9, 0, 255, 1, 2, 3}, "Disk RW test completed.\n", false},
    {"rw test speeds",
     {9, 0, 3, 120, 0, 95, 0, 0},
     "Disk A3 Read/Write (MB/s) :  120 / 95.\n",
     false},
    {"rw test write NA",
     {9, 0, 1, 10, 0, 255, 1, 2},
     "Disk C1 Read/Write (MB/s) :  10 / NA.\n",
     false},
    {"rw test only b5 tested",
     {9, 0, 1, 0xff, 0xff, 0x00, 0xff, 0},
     "Disk A1 Read/Write (MB/s) :  65535 / 65280.\n",
     false},
    // 10: data loss; the second line begins with a full stop.
    {"data loss",
     {10, 0, 1, 0x10, 0, 0, 0, 0x01, 0x02, 0x03, 0x04},
     "Appear Data Loss in RAID 1.\n.Data Loss Stripe LBA Low: 0x10.\nData Loss Stripe LBA High: "
     "0x4030201.\n",
     false},
    // 11: LUN map collision.
    {"collision undefined", {11, 0, 4, 2}, "RAID 4 has Undefined Collision Type[0x2].\n", false},
    {"collision lun maps", {11, 0, 4, 1}, "RAID 4 has LUN Maps Collision between RAID.\n", false},
    // 14: bad stripe.
    {"bad stripe",
     {14, 0, 7, 0x02, 0x01, 0xef, 0xbe, 0xad, 0xde},
     "Appear Bad Stripe in Disk 7.\nBad Stripe Count: 0x102.\nBad Stripe LBA: 0xdeadbeef.\n",
     false},
    // 15: SMART.
    {"smart undefined", {15, 0, 3, 7, 2}, "Disk C3 is Undefined SMART Type[0x7].\n", true},
    {"smart healthy", {15, 0, 3, 1, 2}, "Disk C3 is in healthy state.\n", false},
    {"smart unhealthy", {15, 0, 3, 0, 2}, "Disk C3 is not in healthy state.\n", true},
    // 16: restart request.
    {"restart", {16}, "Controller Need to be Restart.\n", false},
    // 17: array offline, always mailed.
    {"jbod lettered", {17, 2, 9, 0}, "JBOD A, 1 is Offlined.\n", true},
    {"jbod plain", {17, 0, 9, 0}, "JBOD 1 is Offlined.\n", true},
    {"jbod attr 1", {17, 1, 10, 3}, "JBOD 2 is Offlined.\n", true},
    {"raid 8 offline", {17, 2, 8, 0}, "RAID 8 is Offlined.\n", true},
    {"raid 0 offline", {17, 0, 0, 0}, "RAID 0 is Offlined.\n", true},
    // 18: ROM flush, table F.
    {"boot code complete", {18, 0, 1, 0}, "Boot Code flush Complete.\n", false},
    {"system code start", {18, 0, 0, 1}, "System Code flush Start.\n", false},
    {"option rom 2", {18, 0, 2, 2}, "Option Rom flush Fail.\n", false},
    {"option rom 4", {18, 0, 4, 255}, "Option Rom flush Fail.\n", false},
    {"rom undefined", {18, 0, 5, 0}, "Undefined ROM Type[0x5] flush Complete.\n", false},
    // 19: environment, tables E1 and E2.
    {"fan 2 fail", {19, 0, 0, 1, 0}, "Fan Module 2 Fail.\n", true},
    {"voltage 5 normal", {19, 0, 2, 1, 1}, "Voltage +5V Normal.\n", false},
    {"fan too hot", {19, 0, 0, 0, 2}, "Fan Module 1 Temperature too high.\n", true},
    {"power 256", {19, 0, 1, 255, 3}, "Power Module 256 Temperature back to normal.\n", false},
    {"voltage 3.3", {19, 0, 2, 0, 0}, "Voltage +3.3V Fail.\n", true},
    {"voltage 12", {19, 0, 2, 2, 1}, "Voltage +12V Normal.\n", false},
    {"voltage undefined", {19, 0, 2, 3, 1}, "Voltage Undefined Normal.\n", false},
    {"temperature",
     {19, 0, 3, 0, 2},
     "Controller system Temperature Temperature too high.\n",
     true},
    {"chassis", {19, 0, 4, 0, 0}, "Chassis Fail.\n", true},
    {"environment undefined",
     {19, 0, 9, 0, 1},
     "Undefined Environment Controller Normal.\n",
     false},
    {"environment status 4",
     {19, 0, 0, 0, 4},
     "Fan Module 1 Undefined Environment Status[0x4].\n",
     false},
    {"environment status 255",
     {19, 0, 4, 0, 255},
     "Chassis Undefined Environment Status[0xff].\n",
     false},
    // 20 to 23.
    {"lun change", {20, 0, 5}, "LUN 5 is changed.\n", false},
    {"degraded", {21, 0, 2}, "RAID 2 is Degraded.\n", true},
    {"raid 8 erased", {22, 0, 8}, "RAID 8 is Erased.\n", false},
    {"jbod 1 erased", {22, 0, 9}, "JBOD 1 is Erased.\n", false},
    {"jbod 247 erased", {22, 0, 255}, "JBOD 247 is Erased.\n", false},
    {"raid 8 created", {23, 0, 8}, "RAID 8 is Created.\n", false},
    {"jbod 1 created", {23, 0, 9}, "JBOD 1 is Created.\n", false},
    // 24: enclosure, table N.
    {"enclosure in", {24, 0, 2, 0}, "Enclosure No.2 plugged in.\n", false},
    {"enclosure out", {24, 0, 2, 1}, "Enclosure No.2 plugged out.\n", true},
    {"enclosure illegal", {24, 0, 2, 2}, "Enclosure No.2 is illegal or conflict.\n", true},
    {"enclosure unsupported", {24, 0, 2, 3}, "Enclosure No.2 is Unsupport model.\n", true},
    {"enclosure status 4",
     {24, 0, 2, 4},
     "Enclosure No.2 Undefined Enclosure Status[0x4].\n",
     false},
    // 25: system critical, table C.
    {"host reset", {25, 0, 1, 0x10}, "PCIe Host Reset, Status[0x10].\n", false},
    {"link down", {25, 0, 2, 3}, "PCIe Link Down, Link Down Count[0x3].\n", false},
    {"driver on", {25, 0, 3, 1}, "Driver Turn On Event Notification.\n", false},
    {"driver off", {25, 0, 3, 0}, "Driver Turn Off Event Notification.\n", false},
    {"driver off 2", {25, 0, 3, 2}, "Driver Turn Off Event Notification.\n", false},
    {"cdb zero", {25, 0, 4}, "Disk Command Fail CDB : " + kZeroCdb, false},
    {"cdb bytes",
     {25, 0, 4, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 0x77},
     "Disk Command Fail CDB : " + kCountingCdb,
     false},
    {"client plug-in", {25, 0, 5, 1}, "Client Plug-in, Client No. : 0x1.\n", false},
    {"client drop", {25, 0, 6, 0xa}, "Client Drop, Client No. : 0xa.\n", false},
    {"link width", {25, 0, 7, 4}, "PCIe Link Width Error, Status : 0x4.\n", false},
    {"critical 0", {25, 0, 0}, "Undefined System Ciritical Event Type[0x0].\n", false},
    {"critical 8", {25, 0, 8}, "Undefined System Ciritical Event Type[0x8].\n", false},
    // 26: system error, table S.
    {"link error",
     {26, 0, 1, 0x1, 0x23, 0x0, 0xab},
     "PCIe Link Error, Interrupt Status : 1230ab.\n",
     false},
    {"dma error", {26, 0, 2, 1, 2}, "DMA Error, DMA Channel[0x1], DMA Type[0x2].\n", false},
    {"restart reason",
     {26, 0, 3, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
     "System Restart Reason : " + kCountingCdb,
     false},
    {"iopi fault", {26, 0, 4, 0x0a, 0x28, 3, 4, 5}, "iopiFault : < a><28>< 3>< 4>\n", false},
    {"atu error",
     {26, 0, 5, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13},
     "ATU error : < 1>< 2>< 3>< 4>< 5>< 6>< 7>< 8>< 9>< a>< b>< c>\n",
     false},
    {"atue error", {26, 0, 6}, "ATUE error : " + Repeat("< 0>", 12) + "\n", false},
    {"system error 0", {26, 0, 0}, "Undefined System Error Event Type[0x0].\n", false},
    {"system error 7", {26, 0, 7}, "Undefined System Error Event Type[0x7].\n", false},
    // 170.
    {"async no meaning", {170, 1, 2, 3}, "Asynchronous Event, don't care.\n", false},
};

TEST(EventToText, EveryCaseGivesItsExactTextAndMailDecision) {
    for (const TextCase& c : kTextCases) {
        SCOPED_TRACE(c.name);
        bool mail = !c.mail;
        EXPECT_EQ(Render(MakeEvent(c.bytes), &mail), c.text);
        EXPECT_EQ(mail, c.mail);
    }
}

TEST(EventToText, ACallThatDoesNotMailClearsTheFlagOfThePreviousOne) {
    Render(MakeEvent({21, 0, 2}));
    ASSERT_TRUE(EventMailFlag.load());
    bool mail = true;
    Render(MakeEvent({15, 0, 3, 1}), &mail);
    EXPECT_FALSE(mail);
    EXPECT_FALSE(EventMailFlag.load());
}

TEST(EventToText, TheLongestTextsAreTheSlowReadAndSasChannelOnesWithAllBytesFull) {
    uint8_t full[EVENT_REC_SIZE];
    std::memset(full, 0xff, sizeof full);
    full[0] = 8;
    EXPECT_EQ(Render(CtlrEvent::FromBytes(full)).size(), 229u);
    full[0] = 7;
    EXPECT_EQ(Render(CtlrEvent::FromBytes(full)).size(), 225u);
}

// Every type code with every value of each byte a text reads, over a few fillings of the other
// bytes: the text is terminated, at most 255 characters, ends in a line break and never holds a
// NUL before its end; the buffer is written only up to its terminator.
TEST(EventToText, NoEventOverrunsTheTextOrLeavesItUnterminated) {
    const uint8_t fills[] = {0x00, 0xff, 0x09, 0xbf};
    size_t longest = 0;
    for (unsigned type = 0; type < 256; ++type) {
        for (uint8_t fill : fills) {
            for (size_t pos = 1; pos < 8; ++pos) {
                for (unsigned v = 0; v < 256; ++v) {
                    uint8_t b[EVENT_REC_SIZE];
                    std::memset(b, fill, sizeof b);
                    b[0] = static_cast<uint8_t>(type);
                    b[pos] = static_cast<uint8_t>(v);
                    struct {
                        char text[EVENT_TEXT_MAX];
                        char guard[8];
                    } out;
                    std::memset(&out, 'x', sizeof out);
                    EventToText(CtlrEvent::FromBytes(b), out.text);
                    const size_t len = strnlen(out.text, EVENT_TEXT_MAX);
                    ASSERT_LT(len, EVENT_TEXT_MAX) << "type " << type;
                    ASSERT_GT(len, 0u) << "type " << type;
                    ASSERT_EQ(out.text[len - 1], '\n') << "type " << type << " byte " << pos;
                    ASSERT_EQ(std::string(out.guard, sizeof out.guard), std::string(8, 'x'));
                    longest = std::max(longest, len);
                }
            }
        }
    }
    EXPECT_EQ(longest, 229u);
}

}  // namespace

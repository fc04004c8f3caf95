// The start-up scan, the probe and the entry filling against fake controllers.
#include <cstring>
#include <string>

#include "controller/CtlrDiscovery.h"
#include "controller/CtlrTestUtil.h"
#include "support/FakeDevice.h"

using namespace testing_support;
using ctlr_test::CountOf;
using ctlr_test::SerialOf;

namespace {

const std::string kFinder = "Tavenu RAID Manager Server Card Finder: ";

class DiscoveryTest : public ::testing::Test {
  protected:
    void SetUp() override { ctlr_test::ClearTable(); }
    void TearDown() override { ctlr_test::ClearTable(); }

    // Waits until `n` card-finder lines have been written (the boxes run on threads).
    std::string FinderLines(size_t n) {
        WaitFor([&] { return CountOf(err_.Text(), kFinder) >= n; });
        return err_.Text();
    }
    std::string PortPath(int port) { return "\\\\.\\Scsi" + std::to_string(port) + ": "; }

    ctlr_test::StderrCapture err_;
    ServerDirScope dir_;
    FakeControllers fc_{dir_.path()};
};

TEST_F(DiscoveryTest, NoUnitAnywhereGivesFifteenLinesAndTheWarning) {
    InitCtlrTable();
    std::string log = dir_.Log();
    for (int port = 0; port < 15; ++port)
        EXPECT_NE(log.find("Find : " + PortPath(port) + ", Index : 0x0.\n"), std::string::npos)
            << port;
    EXPECT_EQ(CountOf(log, "Find : "), 15u);
    EXPECT_EQ(CountOf(log, "Create device handle fail, status : 2\n"), 15u);
    std::string err = FinderLines(1);
    EXPECT_EQ(err, kFinder + CARD_FINDER_NONE_TEXT + "\n");
    for (uint8_t n = 0; n < CTLR_TABLE_SLOTS; ++n)
        EXPECT_EQ(SnapshotCtlrEntry(n).bState, CTLR_STATUS_EMPTY) << int(n);
    EXPECT_EQ(CountCtlr(), 0);
}

TEST_F(DiscoveryTest, PrimaryWithTwoSecondariesAndAPrimaryOnTheNextPort) {
    fc_.Add(0, 0, "SN-P0-PRIMARY");
    fc_.Add(0, 1, "SN-P0-SECOND1");
    fc_.Add(0, 2, "SN-P0-SECOND2");
    fc_.Add(1, 0, "SN-P1-PRIMARY");
    InitCtlrTable();

    const char* serials[] = {"SN-P0-PRIMARY", "SN-P0-SECOND1", "SN-P0-SECOND2", "SN-P1-PRIMARY"};
    const uint8_t marks[] = {0, 16, 17, 0};
    const int ports[] = {0, 0, 0, 1};
    const int units[] = {0, 1, 2, 0};
    for (uint8_t n = 0; n < 4; ++n) {
        CtlrEntry e = SnapshotCtlrEntry(n);
        EXPECT_EQ(e.bState, CTLR_STATUS_ALIVE);
        EXPECT_EQ(SerialOf(n), serials[n]);
        EXPECT_EQ(e.bUnitMark, marks[n]);
        EXPECT_STREQ(e.cDevName, PortPath(ports[n]).c_str());
        // The page-20 byte of the unit, never the unit marker.
        EXPECT_EQ(e.bPage20Byte, 0x20 + ports[n] * 4 + units[n]);
        EXPECT_EQ(e.bIdent95, 0x5F);
        EXPECT_EQ(e.bIdent107, 0x6B);
        EXPECT_EQ(e.usIdent80, 0x1234);
        EXPECT_EQ(std::string(e.cIdent16, 16), "MODEL-TEXT-16...");
        EXPECT_EQ(std::string(e.cIdent112, 16), "FIRMWARE-TEXT...");
    }
    for (uint8_t n = 4; n < CTLR_TABLE_SLOTS; ++n)
        EXPECT_EQ(SnapshotCtlrEntry(n).bState, CTLR_STATUS_EMPTY) << int(n);
    EXPECT_EQ(CountCtlr(), 4);

    std::string log = dir_.Log();
    for (const char* line : {
             "Find : \\\\.\\Scsi0: , Index : 0x0.\n",
             "Find : \\\\.\\Scsi0: , Index : 0x0, cCtrlSN = SN-P0-PRIMARY\n",
             "Find : \\\\.\\Scsi0: , Index : 0x1 (Secondary1).\n",
             "Find : \\\\.\\Scsi0: , Index : 0x1, cCtrlSN = SN-P0-SECOND1\n",
             "Find : \\\\.\\Scsi0: , Index : 0x2 (Secondary2).\n",
             "Find : \\\\.\\Scsi0: , Index : 0x3 (Secondary3).\n",
             "Find : \\\\.\\Scsi1: , Index : 0x3.\n",
             "Find : \\\\.\\Scsi1: , Index : 0x4 (Secondary1).\n",
             "Find : \\\\.\\Scsi2: , Index : 0x4.\n",
             "Product Type = 0x7 , Vendor Type = 0x0\n",
         })
        EXPECT_NE(log.find(line), std::string::npos) << line;

    // Identify commands: unit bytes 1, 33, 65, 97 on port 0, pages 0 and 20, 32 bytes each.
    std::vector<int> unitBytes;
    for (const DevCall& c : fc_.device().Calls()) {
        if (c.port != 0 || c.Data(2) != 0) continue;
        EXPECT_EQ(c.n, 28u + 32u);
        EXPECT_EQ(c.Length(), 515u);
        EXPECT_EQ(c.Data(0), 1);
        unitBytes.push_back(c.Data(1));
    }
    EXPECT_EQ(unitBytes, (std::vector<int>{1, 33, 65, 97}));

    std::string err = FinderLines(4);
    for (const char* sn : serials)
        EXPECT_NE(err.find(kFinder + "Serial Number: " + sn + "\n"), std::string::npos) << sn;
    EXPECT_EQ(CountOf(err, kFinder), 4u);
}

TEST_F(DiscoveryTest, SinglePrimaryOnPortThreeBecomesNumberZero) {
    fc_.Add(3, 0, "SN-ONLY-ON-3");
    InitCtlrTable();
    CtlrEntry e = SnapshotCtlrEntry(0);
    EXPECT_EQ(e.bState, CTLR_STATUS_ALIVE);
    EXPECT_EQ(std::memcmp(e.cDevName, "\\\\.\\Scsi3: \0", 12), 0);
    EXPECT_EQ(e.bUnitMark, 0);
    for (uint8_t n = 1; n < CTLR_TABLE_SLOTS; ++n)
        EXPECT_EQ(SnapshotCtlrEntry(n).bState, CTLR_STATUS_EMPTY) << int(n);
    uint8_t sn[16] = {};
    std::memcpy(sn, "SN-ONLY-ON-3", 12);
    EXPECT_EQ(FindCtlrBySN(sn), 0);
}

TEST_F(DiscoveryTest, BlankOrEmptySerialFallsBackToTheSecondSerialText) {
    fc_.Add(0, 0, std::string(19, ' '));
    {
        std::lock_guard<std::mutex> lock(fc_.lock());
        fc_.Unit(0, 0)->ident = MakeIdent(std::string(19, ' '), "KELDRAN", 0, "FALLBACK-P0-UNIT");
    }
    fc_.Add(1, 0, "");
    {
        std::lock_guard<std::mutex> lock(fc_.lock());
        auto& id = fc_.Unit(1, 0)->ident;
        id = MakeIdent("", "KELDRAN", 0, "FALLBACK-P1-UNIT");
        std::memcpy(id.data() + 353, "XYZ-TAIL-OF-SERIAL", 18);  // after the leading NUL
    }
    InitCtlrTable();
    CtlrEntry e = SnapshotCtlrEntry(0);
    EXPECT_EQ(std::string(e.cCtrlSN, 20), std::string("FALLBACK-P0-UNIT\0\0\0\0", 20));
    EXPECT_EQ(SerialOf(1), "FALLBACK-P1-UNIT");
    // The box keeps the last three characters of the serial text: three blanks here, and
    // characters 16 to 18 of the text behind the NUL there.
    EXPECT_STREQ(CardFinderText(0), "FALLBACK-P0-UNIT   ");
    EXPECT_STREQ(CardFinderText(1), "FALLBACK-P1-UNITIAL");
    std::string err = FinderLines(2);
    EXPECT_NE(err.find(kFinder + "Serial Number: FALLBACK-P0-UNIT   \n"), std::string::npos);
    // The scan's own log line shows the serial text as it stands.
    EXPECT_NE(dir_.Log().find("Index : 0x0, cCtrlSN = " + std::string(19, ' ') + "\n"),
              std::string::npos);
}

TEST_F(DiscoveryTest, SignatureOrVendorTypeDecidesWhetherAUnitIsTaken) {
    struct Case {
        const char* signature;
        uint8_t vendorType;
        bool taken;
    } cases[] = {
        {"KELDRAN", 0, true},  {"Vostrel", 0, true},  {"OTHERSG", 1, true},
        {"OTHERSG", 0, false}, {"keldran", 0, false}, {"KELDRA", 0, false},
    };
    fc_.Add(0, 0, "SN-SIGNATURE");
    fc_.Add(0, 1, "SN-BEHIND-IT");
    for (const Case& k : cases) {
        {
            std::lock_guard<std::mutex> lock(fc_.lock());
            fc_.Unit(0, 0)->ident = MakeIdent("SN-SIGNATURE", k.signature, k.vendorType);
        }
        WriteFile(dir_.File("ServerLog.txt"), "");
        InitCtlrTable();
        const std::string log = dir_.Log();
        EXPECT_EQ(SnapshotCtlrEntry(0).bState == CTLR_STATUS_ALIVE, k.taken) << k.signature;
        if (k.taken) {
            EXPECT_EQ(SerialOf(0), "SN-SIGNATURE");
            EXPECT_EQ(SerialOf(1), "SN-BEHIND-IT");
        } else {
            // The mismatch line has no line end: the next port's line continues it.
            EXPECT_NE(log.find("Find : \\\\.\\Scsi0: , err : pSignature no match : Find : "
                               "\\\\.\\Scsi1: , Index : 0x0.\n"),
                      std::string::npos)
                << log;
            EXPECT_EQ(CountCtlr(), 0);
        }
    }
}

TEST_F(DiscoveryTest, FailingPageTwentyRefusesTheUnit) {
    fc_.Add(0, 0, "SN-PAGE20-FAILS").page20Fails = true;
    fc_.Add(0, 1, "SN-NEVER-PROBED");
    fc_.Add(1, 0, "SN-GOOD-ONE");
    InitCtlrTable();
    EXPECT_EQ(SerialOf(0), "SN-GOOD-ONE");
    EXPECT_EQ(CountCtlr(), 1);
    bool askedPage20 = false;
    for (const DevCall& c : fc_.device().Calls()) {
        if (c.port == 0 && c.Data(2) == 20) askedPage20 = true;
        EXPECT_FALSE(c.port == 0 && c.Data(1) == 33) << "secondary probed behind a failed unit";
    }
    EXPECT_TRUE(askedPage20);
    std::string err = FinderLines(1);
    WaitFor([] { return false; }, std::chrono::milliseconds(100));
    err = err_.Text();
    EXPECT_EQ(err, kFinder + "Serial Number: SN-GOOD-ONE\n");
}

TEST_F(DiscoveryTest, UnitsBeyondNumberFourteenAreDroppedWithALogLine) {
    for (int port = 0; port < 4; ++port)
        for (int unit = 0; unit < 4; ++unit)
            fc_.Add(port, unit, "SN-P" + std::to_string(port) + "-U" + std::to_string(unit));
    fc_.Add(5, 0, "SN-P5-U0");
    InitCtlrTable();
    EXPECT_EQ(CountCtlr(), 15);
    EXPECT_EQ(SerialOf(14), "SN-P3-U2");
    const std::string log = dir_.Log();
    for (const char* line :
         {"Find : \\\\.\\Scsi3: , Index : 0xf, the table is full, unit SN(SN-P3-U3) dropped.\n",
          "Find : \\\\.\\Scsi5: , Index : 0xf, the table is full, unit SN(SN-P5-U0) dropped.\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
    // Nothing went into the probe slot's serial, and the slot ends empty.
    CtlrEntry slot = SnapshotCtlrEntry(CTLR_PROBE_SLOT);
    EXPECT_EQ(slot.bState, CTLR_STATUS_EMPTY);
    EXPECT_EQ(slot.cCtrlSN[0], '\0');
    EXPECT_EQ(CountOf(FinderLines(15), kFinder), 15u);
}

TEST_F(DiscoveryTest, RefreshIdentifiesTheUnitAgainByItsMarker) {
    fc_.Add(0, 0, "SN-REFRESH-PRI");
    fc_.Add(0, 1, "SN-REFRESH-SEC");
    InitCtlrTable();
    const CtlrEntry before = SnapshotCtlrEntry(1);
    {
        std::lock_guard<std::mutex> lock(fc_.lock());
        auto& id = fc_.Unit(0, 1)->ident;
        id = MakeIdent("SN-REFRESH-NEW");
        id[95] = 0x99;
        fc_.Unit(0, 1)->page20 = 0x77;
    }
    fc_.device().ClearCalls();
    EXPECT_TRUE(RefreshCtlrEntry(1));
    const CtlrEntry after = SnapshotCtlrEntry(1);
    EXPECT_EQ(SerialOf(1), "SN-REFRESH-NEW");
    EXPECT_EQ(after.bIdent95, 0x99);
    EXPECT_EQ(after.bPage20Byte, before.bPage20Byte);  // no page-20 query
    EXPECT_STREQ(after.cDevName, before.cDevName);
    EXPECT_EQ(after.bUnitMark, 16);
    auto calls = fc_.device().Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Data(1), 33);
    EXPECT_EQ(calls[0].Data(2), 0);

    // A failed identify leaves the entry alone; a dead entry is not asked at all.
    {
        std::lock_guard<std::mutex> lock(fc_.lock());
        fc_.Unit(0, 1)->identifyFails = true;
    }
    EXPECT_FALSE(RefreshCtlrEntry(1));
    EXPECT_EQ(SerialOf(1), "SN-REFRESH-NEW");
    fc_.device().ClearCalls();
    ZeroCtlrEntry(0);
    EXPECT_FALSE(RefreshCtlrEntry(0));
    EXPECT_FALSE(RefreshCtlrEntry(CTLR_PROBE_SLOT));
    EXPECT_EQ(fc_.device().CallCount(), 0u);
}

}  // namespace

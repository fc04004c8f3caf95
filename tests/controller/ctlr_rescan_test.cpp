// RescanCtlr against fake controllers that come, go and move.
#include <string>

#include "controller/CtlrDiscovery.h"
#include "controller/CtlrRescan.h"
#include "controller/CtlrTestUtil.h"
#include "support/FakeDevice.h"

using namespace testing_support;
using ctlr_test::CountOf;
using ctlr_test::SerialOf;

namespace {

class RescanTest : public ::testing::Test {
  protected:
    void SetUp() override { ctlr_test::ClearTable(); }
    void TearDown() override { ctlr_test::ClearTable(); }

    // The start-up scan, with its boxes written out before the rescan runs.
    void StartUpScan(size_t units) {
        InitCtlrTable();
        WaitFor([&] { return CountOf(err_.Text(), "Card Finder: ") >= units; });
        WriteFile(dir_.File("ServerLog.txt"), "");
    }

    ctlr_test::StderrCapture err_;
    ServerDirScope dir_;
    FakeControllers fc_{dir_.path()};
};

TEST_F(RescanTest, SameUnitsKeepTheirNumbersAndNoBoxIsShown) {
    fc_.Add(0, 0, "SN-R-P0-U0");
    fc_.Add(0, 1, "SN-R-P0-U1");
    fc_.Add(4, 0, "SN-R-P4-U0");
    StartUpScan(3);
    CtlrEntry before[3];
    for (uint8_t n = 0; n < 3; ++n)
        before[n] = SnapshotCtlrEntry(n);
    const std::string boxes = err_.Text();

    RescanCtlr();
    for (uint8_t n = 0; n < 3; ++n) {
        CtlrEntry e = SnapshotCtlrEntry(n);
        EXPECT_EQ(e.bState, CTLR_STATUS_ALIVE);
        EXPECT_STREQ(e.cCtrlSN, before[n].cCtrlSN);
        EXPECT_EQ(e.bUnitMark, before[n].bUnitMark);
        EXPECT_STREQ(e.cDevName, before[n].cDevName);
    }
    EXPECT_EQ(CountCtlr(), 3);
    const std::string log = dir_.Log();
    for (const char* line : {
             "RescanCtlr : \\\\.\\Scsi0: , Index : 0x0.\n",
             "RescanCtlr : \\\\.\\Scsi0: , Index : 0x0 was found.\n",
             "RescanCtlr : \\\\.\\Scsi0: , Index : 0x1 (slave1).\n",
             "RescanCtlr : \\\\.\\Scsi0: , Index : 0x2 (slave2).\n",
             "RescanCtlr : \\\\.\\Scsi4: , Index : 0x2 was found.\n",
             "RescanCtlr : \\\\.\\Scsi4: , Index : 0x3 (slave1).\n",
         })
        EXPECT_NE(log.find(line), std::string::npos) << line;
    EXPECT_EQ(log.find("(slave3)"), std::string::npos);  // secondary 2 did not answer
    EXPECT_EQ(log.find("cCtrlSN"), std::string::npos);
    WaitFor([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(err_.Text(), boxes);
}

TEST_F(RescanTest, PrimaryAtANumberThatHeldASecondaryIsAddressedAsPrimary) {
    fc_.Add(0, 0, "SN-R-P0-U0");
    fc_.Add(0, 1, "SN-R-P0-U1");
    StartUpScan(2);
    ASSERT_EQ(SnapshotCtlrEntry(1).bUnitMark, 16);
    fc_.Remove(0, 1);
    fc_.Add(1, 0, "SN-R-P1-U0");
    RescanCtlr();
    CtlrEntry e = SnapshotCtlrEntry(1);
    EXPECT_EQ(SerialOf(1), "SN-R-P1-U0");
    EXPECT_EQ(e.bUnitMark, 0);
    EXPECT_STREQ(e.cDevName, "\\\\.\\Scsi1: ");
}

TEST_F(RescanTest, TheOnlyControllerLeftBecomesNumberZero) {
    fc_.Add(0, 0, "SN-R-P0-U0");
    fc_.Add(1, 0, "SN-R-P1-U0");
    fc_.Add(2, 0, "SN-R-P2-U0");
    StartUpScan(3);
    ASSERT_EQ(SerialOf(2), "SN-R-P2-U0");
    fc_.RemovePort(0);
    fc_.RemovePort(1);
    RescanCtlr();
    EXPECT_EQ(SerialOf(0), "SN-R-P2-U0");
    EXPECT_EQ(SnapshotCtlrEntry(0).bState, CTLR_STATUS_ALIVE);
    for (uint8_t n = 1; n < CTLR_TABLE_SLOTS; ++n)
        EXPECT_EQ(SnapshotCtlrEntry(n).bState, CTLR_STATUS_EMPTY) << int(n);
}

TEST_F(RescanTest, NoUnitLeavesAnEmptyTableAndShowsNothing) {
    fc_.Add(6, 0, "SN-R-P6-U0");
    StartUpScan(1);
    const std::string boxes = err_.Text();
    fc_.RemovePort(6);
    RescanCtlr();
    const std::string log = dir_.Log();
    EXPECT_EQ(CountOf(log, ", Index : 0x0.\n"), 15u);
    EXPECT_EQ(CountOf(log, "RescanCtlr : "), 15u);
    for (uint8_t n = 0; n < CTLR_TABLE_SLOTS; ++n)
        EXPECT_EQ(SnapshotCtlrEntry(n).bState, CTLR_STATUS_EMPTY) << int(n);
    WaitFor([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(err_.Text(), boxes);  // no warning box either
}

TEST_F(RescanTest, NewUnitsAreFoundAndTheBoundHolds) {
    StartUpScan(1);  // the warning
    for (int port = 0; port < 4; ++port)
        for (int unit = 0; unit < 4; ++unit)
            fc_.Add(port, unit, "SN-P" + std::to_string(port) + "-U" + std::to_string(unit));
    RescanCtlr();
    EXPECT_EQ(CountCtlr(), 15);
    EXPECT_EQ(SerialOf(14), "SN-P3-U2");
    EXPECT_EQ(SnapshotCtlrEntry(14).bUnitMark, 17);
    EXPECT_NE(dir_.Log().find("RescanCtlr : \\\\.\\Scsi3: , Index : 0xf, the table is full, unit "
                              "SN(SN-P3-U3) dropped.\n"),
              std::string::npos);
    EXPECT_EQ(SnapshotCtlrEntry(CTLR_PROBE_SLOT).bState, CTLR_STATUS_EMPTY);
}

}  // namespace

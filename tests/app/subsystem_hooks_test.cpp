// The wiring the program makes between subsystems: a rescan that gives a unit a new number loads
// that unit's history under it, a controller cleared after too many relay failures forgets its
// history, and without the wiring neither subsystem reaches the other.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/SubsystemHooks.h"
#include "controller/CtlrDiscovery.h"
#include "controller/CtlrHealth.h"
#include "controller/CtlrHooks.h"
#include "controller/CtlrRescan.h"
#include "controller/CtlrTestUtil.h"
#include "events/EventRecord.h"
#include "protocol/SysStatus.h"
#include "support/FakeDevice.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

const char* const kLines[] = {
    "12/01/"
    "26-10:00:00\\SN-HOOK-B\\0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20",
    "12/01/"
    "26-10:00:01\\SN-HOOK-B\\2102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20",
};

std::vector<std::string> History(uint8_t n) {
    std::vector<std::string> lines;
    VisitEventBinLines(n, EVENT_BIN_LIST_MAX, [&](uint32_t, const char(&text)[EVENT_BIN_LINE_MAX]) {
        lines.emplace_back(text);
    });
    return lines;
}

class SubsystemHooksTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ctlr_test::ClearTable();
        WriteFile(dir_.File("event_bin_SN-HOOK-B.txt"),
                  std::string(kLines[0]) + "\n" + kLines[1] + "\n");
        fc_.Add(0, 0, "SN-HOOK-A");
        fc_.Add(2, 0, "SN-HOOK-B");
        InitCtlrTable();
        LoadEventBinFiles();
    }
    void TearDown() override {
        SetCtlrHooks(nullptr);
        SetEventMailCalls(nullptr);
        ctlr_test::ClearTable();
        for (uint8_t n = 0; n < CTLR_TABLE_SLOTS; ++n)
            ReloadEventBinFile(n);  // not alive: empties the list
    }

    ctlr_test::StderrCapture err_;
    ServerDirScope dir_;
    FakeControllers fc_{dir_.path()};
};

TEST_F(SubsystemHooksTest, ARenumberedUnitBringsItsHistoryAlong) {
    ConnectSubsystems();
    ASSERT_EQ(ctlr_test::SerialOf(1), "SN-HOOK-B");
    ASSERT_EQ(History(1).size(), 2u);

    fc_.RemovePort(0);
    RescanCtlr();
    ASSERT_EQ(ctlr_test::SerialOf(0), "SN-HOOK-B");
    EXPECT_EQ(History(0), (std::vector<std::string>{kLines[1], kLines[0]}));  // newest first
}

TEST_F(SubsystemHooksTest, AClearedControllerForgetsItsHistory) {
    ConnectSubsystems();
    const uint8_t sn[CTLR_SN_COMPARE] = {'S', 'N', '-', 'H', 'O', 'O', 'K', '-', 'B'};
    ClearFailingCtlr(1, sn, "SN-HOOK-B");
    EXPECT_EQ(SnapshotCtlrEntry(1).bState, CTLR_STATUS_EMPTY);
    EXPECT_TRUE(History(1).empty());
}

TEST_F(SubsystemHooksTest, WithoutTheWiringTheHistoryStaysWhereItWas) {
    SetCtlrHooks(nullptr);
    fc_.RemovePort(0);
    RescanCtlr();
    ASSERT_EQ(ctlr_test::SerialOf(0), "SN-HOOK-B");
    EXPECT_TRUE(History(0).empty());
    EXPECT_EQ(History(1).size(), 2u);
}

}  // namespace

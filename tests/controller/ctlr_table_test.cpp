// The controller table's lookups.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "controller/CtlrTable.h"

namespace {

void SetEntry(uint8_t n, uint8_t state, const char* sn) {
    std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
    CtlrEntry& e = GetCtlrEntry(n);
    std::memset(&e, 0, sizeof e);
    e.bState = state;
    std::memcpy(e.cCtrlSN, sn, strnlen(sn, CTLR_SN_SIZE - 1));
}

const uint8_t* Key(const char* sn) {
    return reinterpret_cast<const uint8_t*>(sn);
}

}  // namespace

TEST(CtlrTable, FindCtlrBySNComparesSixteenBytesAndTakesTheLowerNumber) {
    // Same first 16 characters, different tails: the lower live number wins.
    SetEntry(2, CTLR_STATUS_ALIVE, "SN0123456789ABCDxyz");
    SetEntry(5, CTLR_STATUS_ALIVE, "SN0123456789ABCDuvw");
    EXPECT_EQ(FindCtlrBySN(Key("SN0123456789ABCD")), 2);
    // NUL bytes take part: "SN1" followed by NULs is not "SN1" followed by blanks.
    char shortSn[CTLR_SN_SIZE] = "SN1";
    SetEntry(7, CTLR_STATUS_ALIVE, shortSn);
    char key[16] = {'S', 'N', '1'};
    EXPECT_EQ(FindCtlrBySN(reinterpret_cast<uint8_t*>(key)), 7);
    std::memset(key + 3, ' ', 13);
    EXPECT_EQ(FindCtlrBySN(reinterpret_cast<uint8_t*>(key)), CTLR_INDEX_NONE);
    // An emptied entry is not found, and the serial then resolves to the next live one.
    ClearCtlrFrom(2);
    EXPECT_EQ(FindCtlrBySN(Key("SN0123456789ABCD")), CTLR_INDEX_NONE);
    ClearCtlrFrom(0);
}

TEST(CtlrTable, TheProbeSlotIsNeverCountedNorLookedUp) {
    ClearCtlrFrom(0);
    SetEntry(0, CTLR_STATUS_ALIVE, "SN-A");
    SetEntry(CTLR_PROBE_SLOT, CTLR_STATUS_ALIVE, "SN-PROBE");
    EXPECT_EQ(CountCtlr(), 1);
    char sn[CTLR_SN_SIZE] = "untouched";
    EXPECT_FALSE(GetCtlrSN(CTLR_PROBE_SLOT, sn));
    EXPECT_STREQ(sn, "untouched");
    EXPECT_TRUE(GetCtlrSN(0, sn));
    EXPECT_STREQ(sn, "SN-A");
    char probeKey[16] = "SN-PROBE";
    EXPECT_EQ(FindCtlrBySN(reinterpret_cast<uint8_t*>(probeKey)), CTLR_INDEX_NONE);
    ClearCtlrFrom(0);
}

TEST(CtlrTable, ClearCtlrFromKeepsFieldsAndIgnoresNumbersBeyondTheTable) {
    ClearCtlrFrom(0);
    SetEntry(14, CTLR_STATUS_ALIVE, "SN-14");
    SetEntry(CTLR_PROBE_SLOT, CTLR_STATUS_ALIVE, "SN-15");
    ClearCtlrFrom(16);
    EXPECT_TRUE(IsCtlrAlive(14));
    EXPECT_TRUE(IsCtlrAlive(15));
    ClearCtlrFrom(14);
    EXPECT_FALSE(IsCtlrAlive(14));
    EXPECT_FALSE(IsCtlrAlive(15));
    EXPECT_STREQ(SnapshotCtlrEntry(14).cCtrlSN, "SN-14");  // only the state changes
    ZeroCtlrEntry(14);
    EXPECT_STREQ(SnapshotCtlrEntry(14).cCtrlSN, "");
}

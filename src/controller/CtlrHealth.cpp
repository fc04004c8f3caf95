#include "controller/CtlrHealth.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "base/ServerLog.h"
#include "controller/CtlrChannel.h"
#include "controller/CtlrHooks.h"
#include "controller/CtlrRescan.h"
#include "controller/CtlrTable.h"
#include "protocol/SysStatus.h"

namespace {

std::mutex g_countLock;
int g_unlistedSn = 0;
int g_inBandFail[CTLR_TABLE_SLOTS] = {};
uint8_t g_inBandFailSn[CTLR_TABLE_SLOTS][CTLR_SN_COMPARE] = {};
std::atomic<uint64_t> g_relayCommands{0};
std::atomic<uint64_t> g_relayFailures[CTLR_TABLE_SLOTS] = {};

}  // namespace

void NoteUnlistedSn(const char* snText) {
    int count;
    {
        std::lock_guard<std::mutex> lock(g_countLock);
        count = ++g_unlistedSn;
        if (count > UNLISTED_SN_LIMIT) g_unlistedSn = 0;
    }
    SrvLog("REQ_INBAND_COMMAND : SN(%s), ID 0xFF was unavailable, Cnt : %d.\n", snText, count);
    if (count > UNLISTED_SN_LIMIT) RescanCtlr();
}

void NoteInBandOutcome(uint8_t ctlrNo, const uint8_t sn[CTLR_SN_COMPARE], const char* snText,
                       uint8_t status, uint16_t errCode) {
    const uint8_t slot = ctlrNo % CTLR_TABLE_SLOTS;
    g_relayCommands.fetch_add(1, std::memory_order_relaxed);
    if (status != SYS_SUCCESS) g_relayFailures[slot].fetch_add(1, std::memory_order_relaxed);
    if (status == SYS_SUCCESS) {
        std::lock_guard<std::mutex> lock(g_countLock);
        g_inBandFail[slot] = 0;
        return;
    }
    int count;
    {
        std::lock_guard<std::mutex> lock(g_countLock);
        if (std::memcmp(g_inBandFailSn[slot], sn, CTLR_SN_COMPARE) != 0) {
            std::memcpy(g_inBandFailSn[slot], sn, CTLR_SN_COMPARE);
            g_inBandFail[slot] = 0;
        }
        // A malformed request says nothing about the controller: it is not counted.
        if (status != SYSFAIL_INBAND_BAD_REQ) ++g_inBandFail[slot];
        count = g_inBandFail[slot];
        if (count > INBAND_FAIL_LIMIT) g_inBandFail[slot] = 0;
    }
    SrvLog(
        "REQ_INBAND_COMMAND %02d : SN(%s) HandleInBandReq fail, bStatus 0x%x, "
        "usInBandErrCode 0x%x, Cnt %d.\n",
        static_cast<int>(ctlrNo), snText, status, errCode, count);
    if (count > INBAND_FAIL_LIMIT) ClearFailingCtlr(ctlrNo, sn, snText);
}

void ClearFailingCtlr(uint8_t n, const uint8_t sn[CTLR_SN_COMPARE], const char* snText) {
    CtlrChannelHold hold(n);
    const CtlrEntry e = SnapshotCtlrEntry(n);
    if (e.bState != CTLR_STATUS_ALIVE || std::memcmp(e.cCtrlSN, sn, CTLR_SN_COMPARE) != 0) return;
    SrvLog(
        "REQ_INBAND_COMMAND %02d : SN(%s) HandleInBandReq fail count over, clear the "
        "device info.\n",
        static_cast<int>(n), snText);
    RunCtlrClearedHook(n);
    ZeroCtlrEntry(n);
}

RelayStats GetRelayStats() {
    RelayStats out{};
    out.commands = g_relayCommands.load(std::memory_order_relaxed);
    for (uint8_t n = 0; n < CTLR_TABLE_SLOTS; ++n)
        out.failures[n] = g_relayFailures[n].load(std::memory_order_relaxed);
    return out;
}

int UnlistedSnCount() {
    std::lock_guard<std::mutex> lock(g_countLock);
    return g_unlistedSn;
}

int CtlrRelayFailures(uint8_t n, const uint8_t sn[CTLR_SN_COMPARE]) {
    const unsigned slot = n % CTLR_TABLE_SLOTS;
    std::lock_guard<std::mutex> lock(g_countLock);
    if (std::memcmp(g_inBandFailSn[slot], sn, CTLR_SN_COMPARE) != 0) return 0;
    return g_inBandFail[slot];
}

int InBandFailCount(uint8_t ctlrNo) {
    std::lock_guard<std::mutex> lock(g_countLock);
    return g_inBandFail[ctlrNo % CTLR_TABLE_SLOTS];
}

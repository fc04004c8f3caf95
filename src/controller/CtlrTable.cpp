#include "controller/CtlrTable.h"

#include <condition_variable>
#include <cstring>
#include <thread>

CtlrEntry CtlrTable[CTLR_TABLE_SLOTS];

namespace {

// The rescan in progress, guarded by the table lock.
bool g_rescanRunning = false;
std::thread::id g_rescanThread;

std::condition_variable_any& RescanDone() {
    static std::condition_variable_any cv;
    return cv;
}

// Waits, with the shared lock held on entry and on return, until no rescan of another thread
// runs.
void WaitForRescan(std::shared_lock<std::shared_mutex>& lock) {
    RescanDone().wait(
        lock, [] { return !g_rescanRunning || g_rescanThread == std::this_thread::get_id(); });
}

}  // namespace

std::shared_mutex& CtlrTableLock() {
    static std::shared_mutex lock;
    return lock;
}

std::mutex& CtlrProbeLock() {
    static std::mutex lock;
    return lock;
}

CtlrEntry& GetCtlrEntry(uint8_t n) {
    return CtlrTable[n % CTLR_TABLE_SLOTS];
}

CtlrEntry SnapshotCtlrEntry(uint8_t n) {
    std::shared_lock<std::shared_mutex> lock(CtlrTableLock());
    return GetCtlrEntry(n);
}

bool IsCtlrAlive(uint8_t n) {
    if (n >= CTLR_TABLE_SLOTS) return false;
    std::shared_lock<std::shared_mutex> lock(CtlrTableLock());
    return CtlrTable[n].bState == CTLR_STATUS_ALIVE;
}

uint16_t FindCtlrBySN(const uint8_t sn[CTLR_SN_COMPARE]) {
    std::shared_lock<std::shared_mutex> lock(CtlrTableLock());
    WaitForRescan(lock);
    for (uint8_t n = 0; n < MAX_CTLR_NUM; ++n) {
        const CtlrEntry& e = CtlrTable[n];
        if (e.bState == CTLR_STATUS_ALIVE && std::memcmp(e.cCtrlSN, sn, CTLR_SN_COMPARE) == 0)
            return n;
    }
    return CTLR_INDEX_NONE;
}

uint8_t CountCtlr() {
    std::shared_lock<std::shared_mutex> lock(CtlrTableLock());
    WaitForRescan(lock);
    uint8_t count = 0;
    for (uint8_t n = 0; n < MAX_CTLR_NUM; ++n)
        if (CtlrTable[n].bState == CTLR_STATUS_ALIVE) ++count;
    return count;
}

bool GetCtlrSN(uint8_t n, char out[CTLR_SN_SIZE]) {
    if (n >= MAX_CTLR_NUM) return false;
    std::shared_lock<std::shared_mutex> lock(CtlrTableLock());
    WaitForRescan(lock);
    if (CtlrTable[n].bState != CTLR_STATUS_ALIVE) return false;
    std::memcpy(out, CtlrTable[n].cCtrlSN, CTLR_SN_SIZE);
    return true;
}

void ClearCtlrFrom(uint8_t n) {
    std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
    for (unsigned i = n; i < CTLR_TABLE_SLOTS; ++i)
        CtlrTable[i].bState = CTLR_STATUS_EMPTY;
}

void ZeroCtlrEntry(uint8_t n) {
    std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
    std::memset(&GetCtlrEntry(n), 0, sizeof(CtlrEntry));
}

void CtlrRescanBegin() {
    std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
    g_rescanRunning = true;
    g_rescanThread = std::this_thread::get_id();
}

void CtlrRescanEnd() {
    {
        std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
        g_rescanRunning = false;
        g_rescanThread = std::thread::id();
    }
    RescanDone().notify_all();
}

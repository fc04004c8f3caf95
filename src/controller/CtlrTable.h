// The controller table: 16 entries indexed by controller number, all empty at program start.
//
// Locking: entry contents are guarded by CtlrTableLock(), a reader-writer lock. The lookups
// below take it themselves. Code that reads or writes entries through GetCtlrEntry holds it
// (shared to read, exclusive to write); SnapshotCtlrEntry copies one entry under the shared
// lock. Probes and rescans, which share the probe slot, are serialised by CtlrProbeLock(),
// taken before (never while holding) the table lock.
//
// While a rescan runs (CtlrRescanBegin to CtlrRescanEnd), FindCtlrBySN, CountCtlr and GetCtlrSN
// called on any other thread wait for it to end, so that no lookup answers from a table that is
// half rebuilt; on the rescanning thread they answer at once.
#pragma once

#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include "controller/CtlrDefs.h"

extern CtlrEntry CtlrTable[CTLR_TABLE_SLOTS];

std::shared_mutex& CtlrTableLock();
std::mutex& CtlrProbeLock();

// The entry of controller number n (0 to 15; larger numbers are taken modulo 16 so that no
// caller can reach outside the table). The caller holds CtlrTableLock().
CtlrEntry& GetCtlrEntry(uint8_t n);

// A copy of entry n, taken under the shared lock.
CtlrEntry SnapshotCtlrEntry(uint8_t n);

// True when entry n (0 to 15) is alive; takes the shared lock.
bool IsCtlrAlive(uint8_t n);

// The number (0 to 14) of the first live entry whose first 16 bytes of cCtrlSN equal `sn`
// byte for byte (NUL bytes included), or CTLR_INDEX_NONE.
uint16_t FindCtlrBySN(const uint8_t sn[CTLR_SN_COMPARE]);

// The number of live entries among 0 to 14.
uint8_t CountCtlr();

// Copies entry n's cCtrlSN into `out` and returns true when n is below 15 and alive;
// otherwise returns false and leaves `out` alone.
bool GetCtlrSN(uint8_t n, char out[CTLR_SN_SIZE]);

// Marks every entry from n to 15 empty (bState 0, other fields kept). n of 16 or more: nothing.
void ClearCtlrFrom(uint8_t n);

// Zero-fills entry n (it is then empty, with bUnitMark 0).
void ZeroCtlrEntry(uint8_t n);

// Marks the start and the end of a rescan on the calling thread (see above). The caller holds
// no table lock; rescans are serialised by CtlrProbeLock.
void CtlrRescanBegin();
void CtlrRescanEnd();

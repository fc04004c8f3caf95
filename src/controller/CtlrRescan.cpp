#include "controller/CtlrRescan.h"

#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "base/ServerLog.h"
#include "controller/CtlrChannel.h"
#include "controller/CtlrDiscovery.h"
#include "controller/CtlrHooks.h"
#include "controller/CtlrTable.h"

namespace {

constexpr uint8_t kUnits[4] = {CTLR_UNIT_PRIMARY, CTLR_UNIT_SECONDARY1, CTLR_UNIT_SECONDARY2,
                               CTLR_UNIT_SECONDARY3};

// Marks the rescan for the table's lookups for the life of the object.
class RescanScope {
  public:
    RescanScope() { CtlrRescanBegin(); }
    ~RescanScope() { CtlrRescanEnd(); }
    RescanScope(const RescanScope&) = delete;
    RescanScope& operator=(const RescanScope&) = delete;
};

}  // namespace

void RescanCtlr() {
    std::lock_guard<std::mutex> probe(CtlrProbeLock());
    CtlrChannelHoldAll channels;
    RescanScope scope;

    uint8_t next = 0;
    for (unsigned port = 0; port < MAX_CTLR_NUM; ++port) {
        char path[CTLR_DEVNAME_SIZE];
        BuildCtlrPortPath(port, path);
        SrvLog("RescanCtlr : %s, Index : 0x%x.\n", path, next);
        for (int u = 0; u < 4; ++u) {
            uint8_t ident[CTLR_IDENT_SIZE] = {};
            uint8_t unitByte = kUnits[u];
            if (!ProbeCtlr(path, ident, &unitByte)) break;
            if (next >= MAX_CTLR_NUM) {
                char sn[CTLR_SN_SIZE] = {};
                std::memcpy(sn, ident + IDENT_OFF_SN, CTLR_SN_CHARS);
                SrvLog("RescanCtlr : %s, Index : 0x%x, the table is full, unit SN(%s) dropped.\n",
                       path, next, sn);
            } else {
                // Fill, mark alive with the unit marker, then tell the history: its reload reads
                // the serial number just filled in.
                FillCtlrEntry(next, ident, unitByte);
                {
                    std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
                    CtlrEntry& e = GetCtlrEntry(next);
                    e.bState = CTLR_STATUS_ALIVE;
                    e.bUnitMark = kUnits[u];
                }
                RunCtlrRenumberedHook(next);
                if (u == 0) SrvLog("RescanCtlr : %s, Index : 0x%x was found.\n", path, next);
                ++next;
            }
            if (u < 3) SrvLog("RescanCtlr : %s, Index : 0x%x (slave%d).\n", path, next, u + 1);
        }
        ClearCtlrFrom(next);
    }
}

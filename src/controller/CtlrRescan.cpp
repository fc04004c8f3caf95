#include "controller/CtlrRescan.h"

#include <mutex>
#include <shared_mutex>

#include "base/ServerLog.h"
#include "controller/CtlrChannel.h"
#include "controller/CtlrDiscovery.h"
#include "controller/CtlrHooks.h"
#include "controller/CtlrTable.h"

namespace {

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

    CtlrPortWalk walk{"RescanCtlr", "slave", nullptr, nullptr, nullptr};
    walk.record = [](const CtlrPortUnit& unit, uint8_t n) {
        // Fill, mark alive with the unit marker, then tell the history: its reload reads the
        // serial number just filled in.
        FillCtlrEntry(n, unit.ident, unit.page20Byte);
        {
            std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
            CtlrEntry& e = GetCtlrEntry(n);
            e.bState = CTLR_STATUS_ALIVE;
            e.bUnitMark = unit.unitMark;
        }
        RunCtlrRenumberedHook(n);
        if (unit.index == 0) SrvLog("RescanCtlr : %s, Index : 0x%x was found.\n", unit.path, n);
    };
    // Numbers from `next` on are emptied after every port.
    walk.portDone = [](uint8_t next) { ClearCtlrFrom(next); };
    VisitCtlrPortUnits(walk);
}

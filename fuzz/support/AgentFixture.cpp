#include "support/AgentFixture.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <shared_mutex>

#include "app/SubsystemHooks.h"
#include "base/ServerLog.h"
#include "controller/CtlrDiscovery.h"
#include "controller/CtlrTable.h"
#include "events/EventPolling.h"
#include "events/EventRecord.h"
#include "mail/MailConfig.h"
#include "support/FuzzDevice.h"
#include "support/FuzzSupport.h"

namespace fuzz {

namespace {

FuzzDevice* g_device = nullptr;

struct TableRow {
    uint8_t n;
    const char* sn;
    int port;  // -1: no device path
    uint8_t unitMark;
};
constexpr TableRow kTable[] = {
    {0, kSerial0, 0, CTLR_UNIT_PRIMARY},
    {1, kSerial1, 0, CTLR_UNIT_SECONDARY1},
    {2, kSerial2, 5, CTLR_UNIT_PRIMARY},
    {3, "", -1, CTLR_UNIT_PRIMARY},
};

constexpr const char* kMailAddrs[MAX_MIS_SZ] = {
    "ops@example.com", "", "Raid-Admin@example.org", "", "", "", "", "", "", "", "", "NULL"};
constexpr const char* kMailItems[MAIL_SRV_ITEMS] = {
    "127.0.0.1:2525", "agent@example.com", "NULL", "NULL", "FALSE", "note"};

// History lines of controller 0: a full line, one without a serial part, a short one.
constexpr const char* kHistory[] = {
    ("12/07/26-14:05:09\\FUZZ-SN-00000001\\"
     "0300000501000000000000000000000000000000000000000000000000000000"),
    "12/07/26-14:05:10\\150000",
    "x",
};

void SetTable() {
    std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
    for (uint8_t n = 0; n < CTLR_TABLE_SLOTS; ++n)
        std::memset(&GetCtlrEntry(n), 0, sizeof(CtlrEntry));
    for (const TableRow& r : kTable) {
        CtlrEntry& e = GetCtlrEntry(r.n);
        e.bState = CTLR_STATUS_ALIVE;
        std::snprintf(e.cCtrlSN, sizeof e.cCtrlSN, "%s", r.sn);
        if (r.port >= 0) BuildCtlrPortPath(static_cast<unsigned>(r.port), e.cDevName);
        e.bUnitMark = r.unitMark;
    }
}

void SetMail() {
    for (uint8_t i = 0; i < MAX_MIS_SZ; ++i)
        UpdateMailAddr(i, kMailAddrs[i], std::strlen(kMailAddrs[i]));
    for (uint8_t i = 0; i < MAIL_SRV_ITEMS; ++i)
        SetMailSrvItem(i, kMailItems[i], std::strlen(kMailItems[i]));
}

// Runs after SetTable.
void SetHistoryAndQueue() {
    EventBinList* list = GetEventBinList(0);
    if (GetEventBinCounts(0).lCount != std::size(kHistory)) {
        FreeEventBinList(0);
        for (const char* line : kHistory)
            AddEventBinLine(*list, nullptr, line, nullptr, false);
    }
    // Whatever the last run left queued goes (the table has made controller 0 alive, so every
    // call takes one node back to the free list), and the two events are queued afresh.
    CtlrEventRec rec{};
    for (uint32_t i = 0;
         i < EVENT_QUEUE_POOL_NODES && CountFreeEventNodes(0) < EVENT_QUEUE_POOL_NODES; ++i)
        Remove_InBand_Event(0, rec);
    FUZZ_CHECK(CountFreeEventNodes(0) == EVENT_QUEUE_POOL_NODES);
    CtlrEvent e{};
    e.bEventType = 3;
    e.bParam[2] = 1;  // disk offline
    FUZZ_CHECK(EnqueueCtlrEvent(0, e));
    e.bEventType = 4;  // boot
    FUZZ_CHECK(EnqueueCtlrEvent(0, e));
}

}  // namespace

AgentFixture& AgentFixture::Get() {
    static AgentFixture* fixture = new AgentFixture;
    return *fixture;
}

AgentFixture::AgentFixture() : dir_(MakeTempFolder("agent")) {
    SilenceStdout();
    SetServerDir(dir_.c_str());
    // Every log line is still formatted and written, to nowhere: the log would grow without end.
    if (symlink("/dev/null", (dir_ + "/ServerLog.txt").c_str()) != 0) std::perror("symlink");
    ConnectSubsystems();
    InitEventQueues();
    g_device = new FuzzDevice(dir_);
    g_device->AddUnit(0, 0, kSerial0);
    g_device->AddUnit(0, 1, kSerial1);
    g_device->Start();
    Reset();
}

void AgentFixture::Reset() {
    SetTable();
    SetMail();
    SetHistoryAndQueue();
}

uint64_t AgentFixture::DeviceCalls() const {
    return g_device->Calls();
}

}  // namespace fuzz

#include "events/EventPolling.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "base/ServerLog.h"
#include "controller/CtlrChannel.h"
#include "controller/CtlrTable.h"
#include "events/EventRecord.h"
#include "platform/HostPaths.h"
#include "protocol/SysStatus.h"

namespace {

EventQueue g_eventQueues[EVENT_QUEUE_SLOTS];
// The node pools of controllers 0 to 14, linked onto their free lists once.
EventQueueNode g_eventQueueNodes[MAX_CTLR_NUM][EVENT_QUEUE_POOL_NODES];
std::once_flag g_eventQueuesFilled;
std::atomic<void (*)()> g_pollingAlive{nullptr};

// The counts behind CtlrPollStats, written by the polling thread only.
struct PollCounts {
    std::atomic<int64_t> lastPollSuccess{0};
    std::atomic<uint64_t> pollErrors{0};
    std::atomic<uint64_t> events[EVENT_CLASS_COUNT][EVENT_SEVERITY_COUNT] = {};
    std::atomic<int64_t> lastEvent[EVENT_SEVERITY_COUNT] = {};
};
PollCounts g_pollCounts[EVENT_QUEUE_SLOTS];

// Counts one fetch of controller n that ended with status s (an event in `event` when it is
// SYS_SUCCESS).
void CountFetch(uint8_t n, uint8_t s, const CtlrEvent& event) {
    PollCounts& c = g_pollCounts[n % EVENT_QUEUE_SLOTS];
    if (s != SYS_SUCCESS && s != SYSFAIL_IOCTL_RETURN_ERR) {
        c.pollErrors.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const int64_t now = plat::NowSeconds();
    c.lastPollSuccess.store(now, std::memory_order_relaxed);
    if (s != SYS_SUCCESS) return;  // none pending
    const EventKind k = ClassifyEvent(event);
    const int sev = static_cast<int>(k.severity);
    c.events[static_cast<int>(k.cls)][sev].fetch_add(1, std::memory_order_relaxed);
    c.lastEvent[sev].store(now, std::memory_order_relaxed);
}

void TellPollingAlive() {
    void (*hook)() = g_pollingAlive.load();
    if (hook != nullptr) hook();
}

// Fetches, queues and records the pending events of live controller n until the channel
// answers anything but SYS_SUCCESS, the slice is used up, or the channel is busy (a transfer or
// a rescan holds it: the controller is polled again in the next sweep). True when the slice
// ended it.
bool DrainCtlrEvents(uint8_t n) {
    const auto start = std::chrono::steady_clock::now();
    const auto slice = std::chrono::milliseconds(EVENT_DRAIN_SLICE_MS);
    for (;;) {
        {
            // The channel is held from reading the unit marker to the end of the recording.
            CtlrChannelTryHold hold(n);
            if (!hold.Held()) return false;
            CtlrEventRec rec;
            std::memset(&rec, 0, sizeof rec);
            const uint32_t code = EventFetchCodeForUnit(SnapshotCtlrEntry(n).bUnitMark);
            const uint8_t s =
                CtlrDevIoControl(n, code, 0, nullptr, EVENT_REC_SIZE, &rec.event, nullptr);
            CountFetch(n, s, rec.event);
            if (s != SYS_SUCCESS) return false;
            rec.bValid = 1;
            rec.bCtlrNo = n;
            EnqueueCtlrEvent(n, rec.event);
            RecEventToFile(n, rec);
        }
        if (std::chrono::steady_clock::now() - start >= slice) return true;
    }
}

}  // namespace

EventQueue* pGetEventFreeQ(uint8_t ctlrNo) {
    if (ctlrNo >= EVENT_QUEUE_SLOTS) {
        SrvLog("pGetEventFreeQ : bCtlrNo : %d error.\n", ctlrNo);
        return nullptr;
    }
    return &g_eventQueues[ctlrNo];
}

void InitEventQueues() {
    std::call_once(g_eventQueuesFilled, [] {
        for (uint8_t n = 0; n < MAX_CTLR_NUM; ++n) {
            EventQueueNode* nodes = g_eventQueueNodes[n];
            for (uint32_t i = 0; i < EVENT_QUEUE_POOL_NODES; ++i) {
                nodes[i].bValid = 0;
                nodes[i].pNext = i + 1 < EVENT_QUEUE_POOL_NODES ? &nodes[i + 1] : nullptr;
            }
            EventQueue& q = g_eventQueues[n];
            std::lock_guard<std::mutex> lock(q.mLock);
            // Whatever removals did before the fill left the free list empty (no node existed).
            nodes[EVENT_QUEUE_POOL_NODES - 1].pNext = q.pFree;
            q.pFree = &nodes[0];
        }
    });
}

uint32_t CountFreeEventNodes(uint8_t ctlrNo) {
    if (ctlrNo >= EVENT_QUEUE_SLOTS) return 0;
    EventQueue& q = g_eventQueues[ctlrNo];
    std::lock_guard<std::mutex> lock(q.mLock);
    uint32_t count = 0;
    for (const EventQueueNode* node = q.pFree; node != nullptr; node = node->pNext)
        ++count;
    return count;
}

bool EnqueueCtlrEvent(uint8_t ctlrNo, const CtlrEvent& event) {
    EventQueue* q = pGetEventFreeQ(ctlrNo);
    if (q == nullptr) return false;
    std::lock_guard<std::mutex> lock(q->mLock);
    // The free list's head, or nothing is queued.
    EventQueueNode* node = q->pFree;
    if (node == nullptr) return false;
    // Linked at the tail; a stale last of an emptied queue is not followed.
    if (q->pFirst == nullptr) {
        q->pFirst = node;
    } else {
        q->pLast->pNext = node;
    }
    q->pLast = node;
    // Off the free list, holding the event.
    q->pFree = node->pNext;
    node->pNext = nullptr;
    node->event = event;
    node->bValid = 1;
    return true;
}

uint8_t Remove_InBand_Event(uint8_t ctlrNo, CtlrEventRec& rec) {
    // No queue for numbers of 16 or more: nothing is touched.
    EventQueue* q = pGetEventFreeQ(ctlrNo);
    if (q == nullptr) {
        rec.bValid = 0;
        return SYSFAIL_EVENT_REQ_FAIL;
    }
    // A controller that is gone has no events to give.
    if (!IsCtlrAlive(ctlrNo)) {
        rec.bValid = 0;
        return SYSFAIL_EVENT_NOT_ALIVE;
    }
    std::lock_guard<std::mutex> lock(q->mLock);
    // An empty queue: success, with no event.
    EventQueueNode* node = q->pFirst;
    if (node == nullptr) {
        q->pFirst = nullptr;
        q->pLast = nullptr;
        rec.bValid = 0;
        return SYS_SUCCESS;
    }
    // The oldest node leaves the queue for the free list; last stays as it is, even when the
    // queue is now empty.
    q->pFirst = node->pNext;
    node->pNext = q->pFree;
    q->pFree = node;
    // A node that held no event is a failure.
    if (node->bValid == 0) {
        rec.bValid = 0;
        return SYSFAIL_EVENT_REQ_FAIL;
    }
    // The event, handed over.
    rec.event = node->event;
    node->bValid = 0;
    rec.bValid = 1;
    return SYS_SUCCESS;
}

bool SweepCtlrEvents() {
    bool cutShort = false;
    for (uint8_t n = 0; n < MAX_CTLR_NUM; ++n) {
        // The state is tested once per number and sweep.
        if (!IsCtlrAlive(n)) continue;
        if (DrainCtlrEvents(n)) cutShort = true;
        TellPollingAlive();
    }
    TellPollingAlive();
    return cutShort;
}

CtlrPollStats GetCtlrPollStats(uint8_t n) {
    CtlrPollStats out{};
    if (n >= EVENT_QUEUE_SLOTS) return out;
    const PollCounts& c = g_pollCounts[n];
    out.lastPollSuccess = c.lastPollSuccess.load(std::memory_order_relaxed);
    out.pollErrors = c.pollErrors.load(std::memory_order_relaxed);
    for (int k = 0; k < EVENT_CLASS_COUNT; ++k)
        for (int v = 0; v < EVENT_SEVERITY_COUNT; ++v)
            out.events[k][v] = c.events[k][v].load(std::memory_order_relaxed);
    for (int v = 0; v < EVENT_SEVERITY_COUNT; ++v)
        out.lastEvent[v] = c.lastEvent[v].load(std::memory_order_relaxed);
    return out;
}

void SetPollingAliveHook(void (*hook)()) {
    g_pollingAlive.store(hook);
}

void PollingCtlrEvent() {
    InitEventQueues();
    for (;;) {
        if (!SweepCtlrEvents()) plat::SleepMs(EVENT_POLL_INTERVAL_MS);
    }
}

// Event polling and the per-controller event queues.
//
// The polling thread PollingCtlrEvent sweeps controller numbers 0 to 14 once a second. Every
// live controller is drained of its pending events through the control channel (the fetch code
// follows the entry's unit marker); each event is put into that controller's EventQueue, if a
// free node is left, and recorded by RecEventToFile (history, event logs, mail). GUI clients
// take queued events one at a time (Remove_InBand_Event) or read the whole recorded history
// (VisitEventBinLines); the GUI server's event requests (guiserver/EventReq) serve both.
//
// Queues. Each controller number has one EventQueue head (free list, first, last) and, for
// numbers 0 to 14, a fixed pool of EVENT_QUEUE_POOL_NODES nodes in static storage, put on its
// free list once by InitEventQueues before the first sweep. Nodes never move between
// controllers and are never created or freed afterwards: enqueue takes the free list's head,
// removal gives the node back to it. With the free list empty an event is not queued (it is
// still recorded), so a queue keeps the oldest events nobody has taken yet.
//
// Locking. Each EventQueue has its own lock, mLock, guarding its three references and its
// nodes; the functions here take it themselves and never call out while holding it. The sweep
// holds the controller's channel (CtlrChannelHold) from reading bUnitMark through the fetch,
// the enqueue and RecEventToFile, so that a rescan can't give the number to another unit between
// fetching an event and recording it. No function here holds CtlrTableLock() while calling into
// the event records, and none waits for a channel while holding a queue or history lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "controller/CtlrDefs.h"
#include "events/EventClass.h"
#include "events/EventDefs.h"

// The pause between two sweeps.
constexpr uint32_t EVENT_POLL_INTERVAL_MS = 1000;
// One queue head per controller number (0 to 15; 0 to 14 are polled).
constexpr uint8_t EVENT_QUEUE_SLOTS = 16;
// The nodes of each polled controller's pool (numbers 0 to 14; number 15 has none).
constexpr uint32_t EVENT_QUEUE_POOL_NODES = 256;
// A sweep drains one controller for at most this long; the rest of its pending events wait for
// the next sweep, which then starts without the pause, so a controller that never stops
// delivering can't keep the sweep from the others.
constexpr uint32_t EVENT_DRAIN_SLICE_MS = 1000;

// One queue node.
struct EventQueueNode {
    CtlrEvent event;        // the queued event
    uint8_t bValid;         // 1 while the node holds a queued event
    EventQueueNode* pNext;  // the next node on the queue or on the free list
};

// The queue head of one controller. The queue runs from pFirst (oldest) through pNext to pLast
// (newest); pFirst is none exactly when the queue is empty, and pLast is meaningful only while
// pFirst isn't none. Read the fields only under mLock.
struct EventQueue {
    EventQueueNode* pFree = nullptr;
    EventQueueNode* pFirst = nullptr;
    EventQueueNode* pLast = nullptr;
    std::mutex mLock;
};

// The queue of controller ctlrNo (0 to 15). For 16 or more: none, and the log line
// "pGetEventFreeQ : bCtlrNo : %d error.\n".
EventQueue* pGetEventFreeQ(uint8_t ctlrNo);

// Puts every node of the pools of controllers 0 to 14 on its free list. Only the first call
// does anything; later calls return at once. Thread-safe. PollingCtlrEvent calls it before its
// first sweep.
void InitEventQueues();

// The number of nodes on controller ctlrNo's free list (0 for 16 or more). Thread-safe.
uint32_t CountFreeEventNodes(uint8_t ctlrNo);

// Queues a copy of `event` at the tail of controller ctlrNo's queue, in a node taken from its
// free list. Returns false, queueing nothing and logging nothing, when the free list is empty
// (or ctlrNo is 16 or more). Constant time, no allocation. Thread-safe.
bool EnqueueCtlrEvent(uint8_t ctlrNo, const CtlrEvent& event);

// Takes the oldest queued event of controller ctlrNo into `rec`. Returns:
//   SYS_SUCCESS (0x50)        rec.bValid 1 and rec.event the event taken; or rec.bValid 0 when
//                             the queue was empty
//   SYSFAIL_EVENT_NOT_ALIVE   0x34 the entry isn't alive (no queue touched)
//   SYSFAIL_EVENT_REQ_FAIL    0x32 the queue's first node held no event (the node goes back to
//                             the free list, rec.bValid 0); or ctlrNo is 16 or more (logged by
//                             pGetEventFreeQ, no queue touched, rec.bValid 0)
// Thread-safe.
uint8_t Remove_InBand_Event(uint8_t ctlrNo, CtlrEventRec& rec);

// One sweep over numbers 0 to 14: each number whose entry is alive is drained (fetch, queue,
// record) until its channel answers anything but SYS_SUCCESS or EVENT_DRAIN_SLICE_MS has passed
// for it. Returns true when some drain was cut short by the slice (events may still be pending).
// Runs on the polling thread (tests call it directly); not to be run on two threads at once.
bool SweepCtlrEvents();

// What the polling thread has seen of one controller number since the start (the counts stay
// with the number when a rescan gives it to another unit).
struct CtlrPollStats {
    int64_t
        lastPollSuccess;  // when a fetch last got an answer (an event or "none pending"), 0: never
    uint64_t pollErrors;  // fetches the channel or the controller failed
    uint64_t events[EVENT_CLASS_COUNT][EVENT_SEVERITY_COUNT];  // events fetched by kind
    int64_t lastEvent[EVENT_SEVERITY_COUNT];  // when the last of each came, 0: never
};
// A copy of controller n's counts (0 to 15; zero for others). Thread-safe, lock-free.
CtlrPollStats GetCtlrPollStats(uint8_t n);

// Called by the polling thread after each controller's drain and after each sweep, so that the
// program can tell the service manager the thread is alive (app/SubsystemHooks). The longest
// gap between two calls is one device call (its 200 s time-out) and one drain slice. nullptr:
// none. Set it before the polling thread starts.
void SetPollingAliveHook(void (*hook)());

// The polling thread: InitEventQueues, then sweeps for ever, pausing EVENT_POLL_INTERVAL_MS after
// every sweep that was not cut short. Never returns.
void PollingCtlrEvent();

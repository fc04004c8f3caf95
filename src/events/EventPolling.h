// Event polling, the per-controller event queues and the event requests of GUI clients.
//
// The polling thread PollingCtlrEvent sweeps controller numbers 0 to 14 once a second. Every
// live controller is drained of its pending events through the control channel (the fetch code
// follows the entry's unit marker); each event is put into that controller's EventQueue, if a
// free node is left, and recorded by RecEventToFile (history, event logs, mail). GUI clients
// take queued events one at a time (REQ_GET_INBAND_EVENT sub-type 1) or read the whole recorded
// history (sub-type 2). doc/protocol-events.md describes the requests and their replies.
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
#include "events/EventDefs.h"
#include "guiserver/GuiConn.h"

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

// Request sub-types (request byte 18, read as a signed 8-bit value).
constexpr int8_t EVENT_REQ_ONE = 1;
constexpr int8_t EVENT_REQ_LIST = 2;
constexpr uint32_t EVENT_REQ_OFF_SUBTYPE = REQ_OFF_DATA;

// Reply layouts.
constexpr uint32_t EVENT_ONE_REPLY_SIZE = 37;   // header 5, then the 32 event bytes
constexpr uint32_t EVENT_LIST_HEADER_SIZE = 9;  // header 5, then the entry count (u32le)
constexpr uint32_t EVENT_LIST_ENTRY_SIZE = 70;
constexpr uint32_t EVENT_LIST_PREFIX_LEN = 38;   // the line's first characters, as they stand
constexpr uint32_t EVENT_LIST_EVENT_BYTES = 28;  // event bytes 0 to 27, decoded from the line
// Bytes 28 to 31 of every entry's event: "vwxy".
constexpr uint8_t EVENT_LIST_FILL[4] = {0x76, 0x77, 0x78, 0x79};
static_assert(EVENT_LIST_PREFIX_LEN + EVENT_LIST_EVENT_BYTES + sizeof EVENT_LIST_FILL ==
              EVENT_LIST_ENTRY_SIZE);
static_assert(EVENT_LIST_HEADER_SIZE + EVENT_LIST_ENTRY_SIZE * EVENT_BIN_LIST_MAX <=
                  GUI_LARGE_REPLY_SIZE,
              "the whole history must fit the large reply buffer");

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

// The polling thread: InitEventQueues, then sweeps for ever, pausing EVENT_POLL_INTERVAL_MS after
// every sweep that was not cut short. Never returns.
void PollingCtlrEvent();

// Serves a REQ_GET_INBAND_EVENT request for live controller `ctlrNo`, the sub-type being request
// byte 18 (signed). Returns SYS_SUCCESS with the whole reply composed in `conn`:
//   sub-type 1: 37 bytes in cRepBuf: type, echo byte, 0x50, then 0x50 and the oldest queued event
//               or 0x36 (SYSFAIL_EVENT_EMPTY) and 32 zero bytes;
//   sub-type 2: 9 + 70 x c bytes in cLargeRepBuf (bLargeRep 1): type, echo byte, 0x50, 0x50 or
//               0x36 when c is 0, c (u32le), then the c recorded lines newest first, each as the
//               line's first 38 characters, 28 event bytes decoded from its hex digits and "vwxy".
//               Exactly the bytes the reply covers are written (the large buffer is not zeroed
//               beforehand). An empty history logs
//               "HandleInBandEventReq : Ctrl(%d), Type(%x) SYSFAIL_EVENT_EMPTY.\n".
// Returns SYSFAIL_EVENT_REQ_FAIL (0x32), with no reply composed, when the removal failed
// ("HandleInBandEventReq : Ctrl(%d), Type(%x) Remove_InBand_Event fail : %x.\n") or for any
// other sub-type ("HandleInBandEventReq : Ctrl(%d), Type(%x) INVALID.\n"; a sub-type of 0x80 or
// above prints sign-extended, 0x80 as ffffff80). Thread-safe; must not be called with
// CtlrTableLock() held.
uint8_t HandleInBandEventReq(GuiConn& conn, uint8_t ctlrNo);

// Writes the EVENT_LIST_ENTRY_SIZE bytes at `entry` for the recorded line `text`: its first 38
// characters as they stand (zero bytes where the line is shorter), event bytes 0 to 27 each
// decoded from a pair of the line's characters as strtol does in base 16 (low 8 bits kept), then
// "vwxy". The pairs start after the line's last '\' (character 38 for every line with a
// 19-character serial number; 38 when the line has no '\'). Positions past the text read as
// the zero bytes that follow it, so a missing pair gives 0 and a lone digit its own value.
void ComposeEventListEntry(const char (&text)[EVENT_BIN_LINE_MAX], uint8_t* entry);

// The event hook ([hook] program): a program of the administrator's, run for every recorded
// event (or, with events = "mailed", for the mailed ones), with the event in its environment and
// nothing on its command line:
//   PELLOMAR_SERIAL      the controller's serial number
//   PELLOMAR_CONTROLLER  its number (0 to 14)
//   PELLOMAR_TIME        the local time the event was recorded, YYYY-MM-DDTHH:MM:SS
//   PELLOMAR_HEX         the 32 event bytes as 64 hex digits
//   PELLOMAR_TEXT        the event's text (its lines joined by blanks)
//   PELLOMAR_CLASS, PELLOMAR_SEVERITY, PELLOMAR_RECOVERY (0 or 1), PELLOMAR_MAILED (0 or 1)
// At most EVENT_HOOK_WORKERS run at once, each ended after EVENT_HOOK_BOUND_S; events wait in a
// queue of EVENT_HOOK_QUEUE_MAX (beyond, they are dropped and counted). Each run's outcome is
// logged and counted. The polling thread never waits for a hook.
#pragma once

#include <cstdint>

#include "base/Settings.h"
#include "events/EventRecord.h"

constexpr int EVENT_HOOK_WORKERS = 4;
constexpr int EVENT_HOOK_BOUND_S = 30;
constexpr size_t EVENT_HOOK_QUEUE_MAX = 256;

// Starts the workers when `h` names a program. Start-up only.
void StartEventHook(const HookSettings& h);

// Queues a run for one recorded event (the EventMailCalls::pEventRecorded hook).
void QueueEventHook(const RecordedEvent& e);

// Runs by outcome since the start: exited 0, exited otherwise (or could not start), ended at
// the bound, dropped for a full queue. Thread-safe.
struct EventHookStats {
    uint64_t ok, failed, timedOut, dropped;
};
EventHookStats GetEventHookStats();

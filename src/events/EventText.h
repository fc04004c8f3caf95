// Event text rendering: one controller event as English text, and whether it is to be mailed.
#pragma once

#include <atomic>

#include "events/EventDefs.h"

// True when the last EventToText call rendered an event that is to be mailed (disk offline,
// array degraded or offline, fan or power failure, unhealthy disk, enclosure fault and the like).
// Cleared at the start of every call and set only by it. Process-wide: the polling thread is its
// only intended reader, right after its own call; other callers should use the value that
// EventToText returns, which is the same decision without a shared read.
extern std::atomic<bool> EventMailFlag;

// Renders `event` into `text` as a NUL-terminated English text of at most EVENT_TEXT_MAX - 1
// characters (the longest defined text has 229), usually one or more lines each ended by "\n".
// Every byte value has a text: values without a meaning get an "Undefined ...[0x%x]" piece. A
// letter argument (code 65 + byte, modulo 256) that comes out as code 0 is written as '?', since
// a text cannot carry a NUL.
//
// Sets EventMailFlag and returns the same decision: true when the event is to be mailed.
// Cannot fail. Reentrant: apart from EventMailFlag it touches only its arguments, so calls on
// different threads never share storage (they only race on which value the flag holds last).
bool EventToText(const CtlrEvent& event, char (&text)[EVENT_TEXT_MAX]);

// Event classes and severities: a fixed, small set derived from the event text tables, for the
// metrics (pellomar_events_total{event,severity}), the client's JSON and the mail repeat policy.
// doc/event-classes.md lists every class and how each event type maps to it.
#pragma once

#include <cstdint>

#include "events/EventDefs.h"

enum class EventClass : uint8_t {
    Task,           // type 1: a background task (rebuild, check, expand...) started or ended
    Disk,           // type 3: a disk came, went or was added to an array
    Controller,     // types 4, 6, 16, 18: boot, self-test, restart needed, ROM flush
    Channel,        // type 7: a SAS channel event of a disk
    Media,          // types 8, 9, 10, 14: slow reads, read/write tests, data loss, bad stripes
    Lun,            // types 11, 20: LUN map collisions and changes
    Smart,          // type 15: a disk's SMART state
    ArrayOffline,   // type 17
    ArrayDegraded,  // type 21
    Array,          // types 22, 23: an array erased or created
    Fan,            // type 19, component 0
    Power,          // type 19, component 1
    Voltage,        // type 19, component 2
    Temperature,    // type 19, component 3
    Chassis,        // type 19, component 4
    Environment,    // type 19, any other component
    Enclosure,      // type 24
    System,         // types 25, 26: host link, driver and firmware events
    Other,          // type 170 and every type without a text of its own
};
constexpr int EVENT_CLASS_COUNT = static_cast<int>(EventClass::Other) + 1;

enum class EventSeverity : uint8_t {
    Info,      // nothing to do
    Warning,   // worth a look: a failed task, a slow or bad disk area, a link error...
    Critical,  // every mailed event (a disk offline, an array degraded, a fan failing...) and
               // data loss
};
constexpr int EVENT_SEVERITY_COUNT = 3;

// What an event is about.
struct EventKind {
    EventClass cls;
    EventSeverity severity;
    // The event says a condition ended: a disk online or added, a rebuild done, SMART healthy,
    // a fan, power or temperature normal again, an enclosure plugged in.
    bool recovery;
    // The object the event names within its class (a disk, an array, a fan...), so that a
    // condition and its recovery can be matched: 0 when the class names none.
    uint16_t object;
};

// Classifies `event`. Defined for every byte value; never fails.
EventKind ClassifyEvent(const CtlrEvent& event);

// The class's and the severity's names as metrics labels and JSON fields use them: lowercase,
// '_' between words ("array_degraded", "critical").
const char* EventClassName(EventClass c);
const char* EventSeverityName(EventSeverity s);

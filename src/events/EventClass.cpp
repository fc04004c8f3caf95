#include "events/EventClass.h"

namespace {

using C = EventClass;
using S = EventSeverity;

constexpr EventKind Kind(C c, S s, bool recovery = false, uint16_t object = 0) {
    return EventKind{c, s, recovery, object};
}

uint16_t Pair(uint8_t hi, uint8_t lo) {
    return static_cast<uint16_t>(hi << 8 | lo);
}

// Type 1: the task by b2, its state by b3 (0 failed, 1 succeeded).
EventKind TaskKind(const CtlrEvent& e) {
    const uint8_t task = e.Byte(2), state = e.Byte(3);
    const bool rebuild = task == 0x9D || task == 0x65;
    if (state == 0) return Kind(C::Task, S::Warning, false, task);
    if (state > 6) return Kind(C::Task, S::Warning, false, task);
    return Kind(C::Task, S::Info, rebuild && state == 1, task);
}

// Type 3: "Disk %c%d" is LETTER(7) and b3; the status by b4.
EventKind DiskKind(const CtlrEvent& e) {
    const uint16_t disk = Pair(e.Byte(7), e.Byte(3));
    switch (e.Byte(4)) {
        case 0:  // online or plugged in
        case 3:  // adding complete
            return Kind(C::Disk, S::Info, true, disk);
        case 1:  // offline or plugged out
        case 4:  // adding failed
        case 5:  // adding warning
            return Kind(C::Disk, S::Critical, false, disk);
        case 2:  // adding started
        case 7:  // adding continued
            return Kind(C::Disk, S::Info, false, disk);
        default:  // LBA48 not supported, undefined
            return Kind(C::Disk, S::Warning, false, disk);
    }
}

// Type 19: the component by b2 (fan and power modules numbered by b3), the status by b4.
EventKind EnvironmentKind(const CtlrEvent& e) {
    C c;
    uint16_t object = 0;
    switch (e.Byte(2)) {
        case 0:
            c = C::Fan;
            object = e.Byte(3);
            break;
        case 1:
            c = C::Power;
            object = e.Byte(3);
            break;
        case 2:
            c = C::Voltage;
            object = e.Byte(3);
            break;
        case 3:
            c = C::Temperature;
            break;
        case 4:
            c = C::Chassis;
            break;
        default:
            c = C::Environment;
            object = e.Byte(2);
            break;
    }
    switch (e.Byte(4)) {
        case 0:  // failed
        case 2:  // temperature too high
            return Kind(c, S::Critical, false, object);
        case 1:  // normal
        case 3:  // temperature back to normal
            return Kind(c, S::Info, true, object);
        default:
            return Kind(c, S::Warning, false, object);
    }
}

// Type 25: host link, driver and client events by b2.
EventKind SystemCriticalKind(const CtlrEvent& e) {
    switch (e.Byte(2)) {
        case 3:  // driver event notification on or off
        case 5:  // client plugged in
            return Kind(C::System, S::Info);
        default:  // host reset, link down, disk command failed, client dropped, link width...
            return Kind(C::System, S::Warning);
    }
}

}  // namespace

EventKind ClassifyEvent(const CtlrEvent& e) {
    const uint8_t b2 = e.Byte(2), b3 = e.Byte(3), b4 = e.Byte(4);
    switch (e.Byte(0)) {
        case 1:
            return TaskKind(e);
        case 3:
            return DiskKind(e);
        case 4:  // booted
            return Kind(C::Controller, S::Info);
        case 6:  // self-test: b4 1 passed
            return Kind(C::Controller, b4 == 1 ? S::Info : S::Warning, false, Pair(b2, b3));
        case 7:
            return Kind(C::Channel, S::Warning, false, Pair(e.Byte(18), b2));
        case 8:  // slow read
            return Kind(C::Media, S::Warning, false, Pair(e.Byte(17), b2));
        case 9:  // read/write test
            return Kind(C::Media, S::Info, false, Pair(e.Byte(7), b2));
        case 10:  // data loss in an array
            return Kind(C::Media, S::Critical, false, b2);
        case 11:  // LUN map collision
            return Kind(C::Lun, S::Warning, false, b2);
        case 14:  // bad stripe
            return Kind(C::Media, S::Warning, false, b2);
        case 15: {  // SMART: b3 1 healthy
            const uint16_t disk = Pair(b4, b2);
            return b3 == 1 ? Kind(C::Smart, S::Info, true, disk)
                           : Kind(C::Smart, S::Critical, false, disk);
        }
        case 16:  // restart needed
            return Kind(C::Controller, S::Warning);
        case 17:
            return Kind(C::ArrayOffline, S::Critical, false, b2);
        case 18:  // ROM flush: b3 0 complete, 1 started, else failed
            return Kind(C::Controller, b3 <= 1 ? S::Info : S::Warning, false, b2);
        case 19:
            return EnvironmentKind(e);
        case 20:
            return Kind(C::Lun, S::Info, false, b2);
        case 21:
            return Kind(C::ArrayDegraded, S::Critical, false, b2);
        case 22:
        case 23:
            return Kind(C::Array, S::Info, false, b2);
        case 24:  // enclosure b2: b3 0 plugged in, 1 to 3 out, illegal, unsupported
            if (b3 == 0) return Kind(C::Enclosure, S::Info, true, b2);
            return Kind(C::Enclosure, b3 <= 3 ? S::Critical : S::Warning, false, b2);
        case 25:
            return SystemCriticalKind(e);
        case 26:
            return Kind(C::System, S::Warning);
        default:  // 170 and the types without a text
            return Kind(C::Other, S::Info);
    }
}

const char* EventClassName(EventClass c) {
    switch (c) {
        case C::Task:
            return "task";
        case C::Disk:
            return "disk";
        case C::Controller:
            return "controller";
        case C::Channel:
            return "channel";
        case C::Media:
            return "media";
        case C::Lun:
            return "lun";
        case C::Smart:
            return "smart";
        case C::ArrayOffline:
            return "array_offline";
        case C::ArrayDegraded:
            return "array_degraded";
        case C::Array:
            return "array";
        case C::Fan:
            return "fan";
        case C::Power:
            return "power";
        case C::Voltage:
            return "voltage";
        case C::Temperature:
            return "temperature";
        case C::Chassis:
            return "chassis";
        case C::Environment:
            return "environment";
        case C::Enclosure:
            return "enclosure";
        case C::System:
            return "system";
        case C::Other:
            return "other";
    }
    return "other";
}

const char* EventSeverityName(EventSeverity s) {
    switch (s) {
        case S::Info:
            return "info";
        case S::Warning:
            return "warning";
        case S::Critical:
            return "critical";
    }
    return "info";
}

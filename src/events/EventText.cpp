// Event text rendering.
//
// The text of an event is built by appending pieces, in order, to an empty text. Each piece is
// one printf-style formatting of a quoted format with arguments taken from the event bytes. Which
// pieces are appended is decided by choices on single event bytes: first on the type code b0,
// then on the parameter bytes each type reads. All of it is written down below as constant
// tables, one per table of the event text rules, and walked by one small renderer. A piece may
// carry the mail mark: appending it makes the event one that is mailed.
//
// Notation in the tables: bK is byte K of the event; LE16(K), LE32(K) the unsigned little-endian
// numbers starting at byte K; LETTER(K) the character of code 65 + bK, modulo 256 ("A" for 0);
// MINUS8(K) bK - 8 modulo 256; PLUS1(K) bK + 1 (255 gives 256).
//
// Two status bytes have no defined text: type 19 with b4 above 3 and type 24 with b3 above 3.
// They get an undefined-value piece like every other undefined value, "Undefined Environment
// Status[0x%x].\n" and "Undefined Enclosure Status[0x%x].\n", and are not mailed.
#include "events/EventText.h"

#include <cstdio>
#include <span>

std::atomic<bool> EventMailFlag{false};

namespace {

// ---------------------------------------------------------------------------------------------
// The building blocks of the tables.

// How one argument of a piece is taken from the event. Every argument is an unsigned number.
enum class ArgKind : uint8_t { None, Byte, Le16, Le32, Letter, Minus8, Plus1 };

struct PieceArg {
    ArgKind kind = ArgKind::None;
    uint8_t bPos = 0;  // the (first) event byte it reads
};

constexpr PieceArg B(uint8_t k) {
    return {ArgKind::Byte, k};
}
constexpr PieceArg LE16(uint8_t k) {
    return {ArgKind::Le16, k};
}
constexpr PieceArg LE32(uint8_t k) {
    return {ArgKind::Le32, k};
}
constexpr PieceArg LETTER(uint8_t k) {
    return {ArgKind::Letter, k};
}
constexpr PieceArg MINUS8(uint8_t k) {
    return {ArgKind::Minus8, k};
}
constexpr PieceArg PLUS1(uint8_t k) {
    return {ArgKind::Plus1, k};
}

constexpr size_t PIECE_ARGS_MAX = 4;

// One piece: a format whose only conversions are %d, %x, %c and %2x, one argument each, and
// whether appending it marks the event for mail.
struct EventPiece {
    const char* cFormat = "";
    PieceArg args[PIECE_ARGS_MAX] = {};
    bool blMail = false;
};

constexpr EventPiece Text(const char* format, PieceArg a1 = {}, PieceArg a2 = {}, PieceArg a3 = {},
                          PieceArg a4 = {}) {
    return {format, {a1, a2, a3, a4}, false};
}
constexpr EventPiece MailText(const char* format, PieceArg a1 = {}, PieceArg a2 = {}) {
    return {format, {a1, a2, {}, {}}, true};
}

struct PieceChoice;

// One step of a rendering: append a piece, make a choice, or dump event bytes bFrom to bTo as
// "<%2x>" pieces.
struct RenderStep {
    enum class Kind : uint8_t { Piece, Choice, Dump };
    Kind kind = Kind::Piece;
    EventPiece piece = {};
    const PieceChoice* pChoice = nullptr;
    uint8_t bFrom = 0;
    uint8_t bTo = 0;
};

constexpr RenderStep Put(EventPiece p) {
    return {RenderStep::Kind::Piece, p, nullptr, 0, 0};
}
constexpr RenderStep Choose(const PieceChoice& c) {
    return {RenderStep::Kind::Choice, EventPiece{}, &c, 0, 0};
}
constexpr RenderStep DumpBytes(uint8_t from, uint8_t to) {
    return {RenderStep::Kind::Dump, EventPiece{}, nullptr, from, to};
}

using Steps = std::span<const RenderStep>;

// One row of a choice, for the selector values bLow to bHigh: its piece, then its sub-choice (if
// any), then its further steps (if any).
struct ChoiceRow {
    uint8_t bLow = 0;
    uint8_t bHigh = 0;
    EventPiece piece = {};
    const PieceChoice* pThen = nullptr;
    Steps more = {};
};

constexpr ChoiceRow Rows(uint8_t lo, uint8_t hi, EventPiece p) {
    return {lo, hi, p, nullptr, {}};
}
constexpr ChoiceRow Row(uint8_t v, EventPiece p) {
    return {v, v, p, nullptr, {}};
}
constexpr ChoiceRow Row(uint8_t v, EventPiece p, const PieceChoice& then) {
    return {v, v, p, &then, {}};
}
constexpr ChoiceRow Row(uint8_t v, const PieceChoice& then) {
    return {v, v, EventPiece{}, &then, {}};
}
constexpr ChoiceRow Row(uint8_t v, Steps steps) {
    return {v, v, EventPiece{}, nullptr, steps};
}
constexpr ChoiceRow Row(uint8_t v, EventPiece p, Steps steps) {
    return {v, v, p, nullptr, steps};
}
// The row for every value that no other row of the choice holds.
constexpr ChoiceRow Other(EventPiece p) {
    return {0, 255, p, nullptr, {}};
}
constexpr ChoiceRow Other(const PieceChoice& then) {
    return {0, 255, EventPiece{}, &then, {}};
}
constexpr ChoiceRow Other(Steps steps) {
    return {0, 255, EventPiece{}, nullptr, steps};
}

// A choice by the value of event byte bSelector: the first row whose range holds it, else other.
struct PieceChoice {
    uint8_t bSelector = 0;
    std::span<const ChoiceRow> rows = {};
    ChoiceRow other = {};
};

// ---------------------------------------------------------------------------------------------
// Type 1, asynchronous task: task text by b2 (table A1), then state text by b3 (table A2).

constexpr ChoiceRow kAsyncTaskRows[] = {
    Row(0x62, Text("Edit or Reinitialize RAID ")),
    Row(0x63, Text("RAID Check ")),
    Row(0x65, Text("Rebuild Parity ")),
    Row(0x69, Text("RAID Expand ")),
    Row(0x70, Text("Create Shot ")),
    Row(0x72, Text("Shot Resynchronize ")),
    Row(0x9D, Text("Rebuild Drive ")),
    Row(0xBA, Text("RAID BGRW ")),
    Row(0xC5, Text("RAID Migrate ")),
};
constexpr PieceChoice kAsyncTask{2, kAsyncTaskRows,
                                 Other(Text("Undefined Async Type[0x%x] ", B(2)))};

constexpr ChoiceRow kAsyncStateRows[] = {
    Row(0, Text("Fail.\n")),      Row(1, Text("Success.\n")), Row(2, Text("Cancelled.\n")),
    Row(3, Text("Pause.\n")),     Row(4, Text("Start.\n")),   Row(5, Text("Pause.\n")),
    Row(6, Text("Continued.\n")),
};
// Note the leading blank of the undefined state.
constexpr PieceChoice kAsyncState{3, kAsyncStateRows,
                                  Other(Text(" Undefined Async State[0x%x].\n", B(3)))};

constexpr RenderStep kAsyncTaskSteps[] = {Choose(kAsyncTask), Choose(kAsyncState)};

// ---------------------------------------------------------------------------------------------
// Type 3, disk: "RAID %d, " unless b2 is 255, "Disk %c%d is ", status text by b4 (table D).

constexpr ChoiceRow kDiskRaidRows[] = {Row(255, Text(""))};
constexpr PieceChoice kDiskRaid{2, kDiskRaidRows, Other(Text("RAID %d, ", B(2)))};

constexpr ChoiceRow kDiskStatusRows[] = {
    Row(0, Text("Online or Plugin.\n")),
    Row(1, MailText("Offline or Plugout.\n")),
    Row(2, Text("Adding Start.\n")),
    Row(3, Text("Adding Complete.\n")),
    Row(4, MailText("Adding Fail.\n")),
    Row(5, MailText("Adding Warning.\n")),
    Row(6, Text("Adding : LBA48 Not Support.\n")),
    Row(7, Text("Adding Continued.\n")),
};
constexpr PieceChoice kDiskStatus{4, kDiskStatusRows,
                                  Other(Text("Undefined Disk Event Status[0x%x].\n", B(4)))};

constexpr RenderStep kDiskSteps[] = {
    Choose(kDiskRaid),
    Put(Text("Disk %c%d is ", LETTER(7), B(3))),
    Choose(kDiskStatus),
};

// ---------------------------------------------------------------------------------------------
// Type 6, module self-test: module text by b2 and b3 (table M), "Check ", result by b4 (table R).

constexpr EventPiece kUndefinedUnit = Text("Undefined Module[0x%x] ", B(3));

constexpr ChoiceRow kSerialPortRows[] = {Row(1, Text("Serial Port 1 ")),
                                         Row(2, Text("Serial Port 2 "))};
constexpr PieceChoice kSerialPort{3, kSerialPortRows, Other(kUndefinedUnit)};
constexpr ChoiceRow kMemoryModuleRows[] = {Row(1, Text("Memory Module 1 "))};
constexpr PieceChoice kMemoryModule{3, kMemoryModuleRows, Other(kUndefinedUnit)};
constexpr ChoiceRow kRomImageRows[] = {Row(1, Text("ROM image 1 ")), Row(2, Text("ROM image 2 "))};
constexpr PieceChoice kRomImage{3, kRomImageRows, Other(kUndefinedUnit)};
constexpr ChoiceRow kSataChipRows[] = {Row(1, Text("SATA Chip 1 ")), Row(2, Text("SATA Chip 2 "))};
constexpr PieceChoice kSataChip{3, kSataChipRows, Other(kUndefinedUnit)};

constexpr ChoiceRow kModuleRows[] = {
    Row(0, kSerialPort),
    Row(1, kMemoryModule),
    Row(2, kRomImage),
    Row(5, kSataChip),
};
// An undefined kind: note the blank and the line break, whatever b3.
constexpr PieceChoice kModule{2, kModuleRows, Other(Text("Undefined Module[0x%x] \n", B(2)))};

constexpr ChoiceRow kSelfTestResultRows[] = {Row(0, Text("Fail.\n")), Row(1, Text("Pass.\n"))};
constexpr PieceChoice kSelfTestResult{4, kSelfTestResultRows,
                                      Other(Text("Undefined Status[0x%x].\n", B(4)))};

constexpr RenderStep kSelfTestSteps[] = {Choose(kModule), Put(Text("Check ")),
                                         Choose(kSelfTestResult)};

// ---------------------------------------------------------------------------------------------
// Type 7, SAS channel event.

constexpr RenderStep kSasChannelSteps[] = {
    Put(Text("Disk %c%d has SAS Channel Event.\n", LETTER(18), B(2))),
    Put(Text("SCSI Status: 0x%x.\n", B(3))),
    Put(Text("Sense Key: 0x%x.\n", B(4))),
    Put(Text("ASC: 0x%x.\n", B(5))),
    Put(Text("ASCQ: 0x%x.\n", B(6))),
    Put(Text("Timeout: 0x%x.\n", B(7))),
    Put(Text("SAS Cmd Code: 0x%x.\n", B(8))),
    Put(Text("SAS Command LBA Low: 0x%x.\n", LE32(9))),
    Put(Text("SAS Command LBA High: 0x%x.\n", LE32(13))),
    Put(Text("SAS Command Retry Count: 0x%x.\n", B(17))),
};

// ---------------------------------------------------------------------------------------------
// Type 8, slow read.

constexpr RenderStep kSlowReadSteps[] = {
    Put(Text("Appear Diag Slow Read in Disk %c%d.\n", LETTER(17), B(2))),
    Put(Text("Slow Read Time: 0x%x ms.\n", LE16(3))),
    Put(Text("Average Read Response Time (Average + Threshold): 0x%x ms.\n", LE16(5))),
    Put(Text("Slow Read Count for the Disk: 0x%x ms.\n", LE32(7))),
    Put(Text("Slow Read LBA: 0x%x ms.\n", LE32(11))),
    Put(Text("Average Move time: 0x%x ms.\n", LE16(15))),
};

// ---------------------------------------------------------------------------------------------
// Type 9, disk read/write test, by b2. Only b5 is tested for 255 ("NA").

constexpr ChoiceRow kRwWriteRows[] = {Row(255, Text(" NA.\n"))};
constexpr PieceChoice kRwWrite{5, kRwWriteRows, Other(Text(" %d.\n", LE16(5)))};

constexpr RenderStep kRwSpeedSteps[] = {
    Put(Text("Disk %c%d Read/Write (MB/s) : ", LETTER(7), B(2))),
    Put(Text(" %d /", LE16(3))),
    Choose(kRwWrite),
};

constexpr ChoiceRow kRwTestRows[] = {
    Row(0, Text("Disk RW test started.\n")),
    Row(255, Text("Disk RW test completed.\n")),
};
constexpr PieceChoice kRwTest{2, kRwTestRows, Other(kRwSpeedSteps)};

// ---------------------------------------------------------------------------------------------
// Type 10, data loss. The first piece ends in ".\n.", so the second line begins with a full stop.

constexpr RenderStep kDataLossSteps[] = {
    Put(Text("Appear Data Loss in RAID %d.\n.", B(2))),
    Put(Text("Data Loss Stripe LBA Low: 0x%x.\n", LE32(3))),
    Put(Text("Data Loss Stripe LBA High: 0x%x.\n", LE32(7))),
};

// ---------------------------------------------------------------------------------------------
// Type 11, LUN map collision.

constexpr ChoiceRow kCollisionRows[] = {Row(1, Text("has LUN Maps Collision between RAID.\n"))};
constexpr PieceChoice kCollision{3, kCollisionRows,
                                 Other(Text("has Undefined Collision Type[0x%x].\n", B(3)))};

constexpr RenderStep kLunCollisionSteps[] = {Put(Text("RAID %d ", B(2))), Choose(kCollision)};

// ---------------------------------------------------------------------------------------------
// Type 14, bad stripe.

constexpr RenderStep kBadStripeSteps[] = {
    Put(Text("Appear Bad Stripe in Disk %d.\n", B(2))),
    Put(Text("Bad Stripe Count: 0x%x.\n", LE16(3))),
    Put(Text("Bad Stripe LBA: 0x%x.\n", LE32(5))),
};

// ---------------------------------------------------------------------------------------------
// Type 15, SMART: mailed unless b3 is 1.

constexpr ChoiceRow kSmartRows[] = {
    Row(0, MailText("not in healthy state.\n")),
    Row(1, Text("in healthy state.\n")),
};
constexpr PieceChoice kSmart{3, kSmartRows, Other(MailText("Undefined SMART Type[0x%x].\n", B(3)))};

constexpr RenderStep kSmartSteps[] = {Put(Text("Disk %c%d is ", LETTER(4), B(2))), Choose(kSmart)};

// ---------------------------------------------------------------------------------------------
// Type 17, array offline, always mailed: a RAID up to b2 = 8, then a JBOD b2 - 8, named with a
// letter from b3 only when b1 is 2.

constexpr ChoiceRow kJbodOfflineRows[] = {
    Row(2, MailText("JBOD %c, %d is Offlined.\n", LETTER(3), MINUS8(2))),
};
constexpr PieceChoice kJbodOffline{1, kJbodOfflineRows,
                                   Other(MailText("JBOD %d is Offlined.\n", MINUS8(2)))};

constexpr ChoiceRow kArrayOfflineRows[] = {Rows(0, 8, MailText("RAID %d is Offlined.\n", B(2)))};
constexpr PieceChoice kArrayOffline{2, kArrayOfflineRows, Other(kJbodOffline)};

// ---------------------------------------------------------------------------------------------
// Type 18, ROM flush: ROM text by b2 (table F), "flush ", then the state by b3.

constexpr ChoiceRow kRomTypeRows[] = {
    Row(0, Text("System Code ")),
    Row(1, Text("Boot Code ")),
    Rows(2, 4, Text("Option Rom ")),
};
constexpr PieceChoice kRomType{2, kRomTypeRows, Other(Text("Undefined ROM Type[0x%x] ", B(2)))};

constexpr ChoiceRow kRomFlushRows[] = {Row(0, Text("Complete.\n")), Row(1, Text("Start.\n"))};
constexpr PieceChoice kRomFlush{3, kRomFlushRows, Other(Text("Fail.\n"))};

constexpr RenderStep kRomFlushSteps[] = {Choose(kRomType), Put(Text("flush ")), Choose(kRomFlush)};

// ---------------------------------------------------------------------------------------------
// Type 19, environment: component text by b2 and b3 (table E1), status text by b4 (table E2).

constexpr ChoiceRow kVoltageRailRows[] = {
    Row(0, Text("+3.3V ")),
    Row(1, Text("+5V ")),
    Row(2, Text("+12V ")),
};
constexpr PieceChoice kVoltageRail{3, kVoltageRailRows, Other(Text("Undefined "))};

constexpr ChoiceRow kEnvComponentRows[] = {
    Row(0, Text("Fan Module %d ", PLUS1(3))),
    Row(1, Text("Power Module %d ", PLUS1(3))),
    Row(2, Text("Voltage "), kVoltageRail),
    Row(3, Text("Controller system Temperature ")),
    Row(4, Text("Chassis ")),
};
constexpr PieceChoice kEnvComponent{2, kEnvComponentRows,
                                    Other(Text("Undefined Environment Controller "))};

constexpr ChoiceRow kEnvStatusRows[] = {
    Row(0, MailText("Fail.\n")),
    Row(1, Text("Normal.\n")),
    Row(2, MailText("Temperature too high.\n")),
    Row(3, Text("Temperature back to normal.\n")),
};
// No status text is defined above 3: an undefined-value piece, not mailed.
constexpr PieceChoice kEnvStatus{4, kEnvStatusRows,
                                 Other(Text("Undefined Environment Status[0x%x].\n", B(4)))};

constexpr RenderStep kEnvironmentSteps[] = {Choose(kEnvComponent), Choose(kEnvStatus)};

// ---------------------------------------------------------------------------------------------
// Types 22 and 23, array erased and created: a RAID up to b2 = 8, then a JBOD b2 - 8.

constexpr ChoiceRow kArrayErasedRows[] = {Rows(0, 8, Text("RAID %d is Erased.\n", B(2)))};
constexpr PieceChoice kArrayErased{2, kArrayErasedRows,
                                   Other(Text("JBOD %d is Erased.\n", MINUS8(2)))};

constexpr ChoiceRow kArrayCreatedRows[] = {Rows(0, 8, Text("RAID %d is Created.\n", B(2)))};
constexpr PieceChoice kArrayCreated{2, kArrayCreatedRows,
                                    Other(Text("JBOD %d is Created.\n", MINUS8(2)))};

// ---------------------------------------------------------------------------------------------
// Type 24, enclosure: "Enclosure No.%d ", then the status by b3 (table N).

constexpr ChoiceRow kEnclosureStatusRows[] = {
    Row(0, Text("plugged in.\n")),
    Row(1, MailText("plugged out.\n")),
    Row(2, MailText("is illegal or conflict.\n")),
    Row(3, MailText("is Unsupport model.\n")),
};
// No status text is defined above 3: an undefined-value piece, not mailed.
constexpr PieceChoice kEnclosureStatus{3, kEnclosureStatusRows,
                                       Other(Text("Undefined Enclosure Status[0x%x].\n", B(3)))};

constexpr RenderStep kEnclosureSteps[] = {Put(Text("Enclosure No.%d ", B(2))),
                                          Choose(kEnclosureStatus)};

// ---------------------------------------------------------------------------------------------
// Type 25, system critical events by b2 (table C).

constexpr ChoiceRow kDriverNotifyRows[] = {Row(1, Text("Driver Turn On Event Notification.\n"))};
constexpr PieceChoice kDriverNotify{3, kDriverNotifyRows,
                                    Other(Text("Driver Turn Off Event Notification.\n"))};

constexpr RenderStep kBytes3To18[] = {DumpBytes(3, 18), Put(Text("\n"))};
constexpr RenderStep kBytes3To6[] = {DumpBytes(3, 6), Put(Text("\n"))};
constexpr RenderStep kBytes3To14[] = {DumpBytes(3, 14), Put(Text("\n"))};

constexpr ChoiceRow kSysCriticalRows[] = {
    Row(1, Text("PCIe Host Reset, Status[0x%x].\n", B(3))),
    Row(2, Text("PCIe Link Down, Link Down Count[0x%x].\n", B(3))),
    Row(3, kDriverNotify),
    Row(4, Text("Disk Command Fail CDB : "), kBytes3To18),
    Row(5, Text("Client Plug-in, Client No. : 0x%x.\n", B(3))),
    Row(6, Text("Client Drop, Client No. : 0x%x.\n", B(3))),
    Row(7, Text("PCIe Link Width Error, Status : 0x%x.\n", B(3))),
};
constexpr PieceChoice kSysCritical{
    2, kSysCriticalRows, Other(Text("Undefined System Ciritical Event Type[0x%x].\n", B(2)))};

// ---------------------------------------------------------------------------------------------
// Type 26, system error events by b2 (table S).

constexpr ChoiceRow kSysErrorRows[] = {
    // No field width: the digits of the four bytes run together.
    Row(1, Text("PCIe Link Error, Interrupt Status : %x%x%x%x.\n", B(3), B(4), B(5), B(6))),
    Row(2, Text("DMA Error, DMA Channel[0x%x], DMA Type[0x%x].\n", B(3), B(4))),
    Row(3, Text("System Restart Reason : "), kBytes3To18),
    Row(4, Text("iopiFault : "), kBytes3To6),
    Row(5, Text("ATU error : "), kBytes3To14),
    Row(6, Text("ATUE error : "), kBytes3To14),
};
constexpr PieceChoice kSysError{2, kSysErrorRows,
                                Other(Text("Undefined System Error Event Type[0x%x].\n", B(2)))};

// ---------------------------------------------------------------------------------------------
// Dispatch on the event type code b0.

constexpr ChoiceRow kEventTypeRows[] = {
    Row(1, kAsyncTaskSteps),                              // asynchronous task
    Row(3, kDiskSteps),                                   // disk
    Row(4, Text("System Boot up OK.\n")),                 // boot
    Row(6, kSelfTestSteps),                               // module self-test
    Row(7, kSasChannelSteps),                             // SAS channel
    Row(8, kSlowReadSteps),                               // slow read
    Row(9, kRwTest),                                      // disk read/write test
    Row(10, kDataLossSteps),                              // data loss
    Row(11, kLunCollisionSteps),                          // LUN map collision
    Row(14, kBadStripeSteps),                             // bad stripe
    Row(15, kSmartSteps),                                 // SMART
    Row(16, Text("Controller Need to be Restart.\n")),    // restart request
    Row(17, kArrayOffline),                               // array offline
    Row(18, kRomFlushSteps),                              // ROM flush
    Row(19, kEnvironmentSteps),                           // environment
    Row(20, Text("LUN %d is changed.\n", B(2))),          // LUN change
    Row(21, MailText("RAID %d is Degraded.\n", B(2))),    // array degraded
    Row(22, kArrayErased),                                // array erased
    Row(23, kArrayCreated),                               // array created
    Row(24, kEnclosureSteps),                             // enclosure
    Row(25, kSysCritical),                                // system critical
    Row(26, kSysError),                                   // system error
    Row(170, Text("Asynchronous Event, don't care.\n")),  // asynchronous event, no meaning
};
constexpr PieceChoice kEventType{0, kEventTypeRows,
                                 Other(Text("Undefined Event Type[0x%x].\n", B(0)))};

// ---------------------------------------------------------------------------------------------
// Compile-time checks of the tables: every format has only the conversions the renderer knows,
// exactly one per argument; every argument and selector lies inside the event; no two rows of a
// choice hold the same value.

// The number of conversions of `f`, or -1 when it holds one other than %d, %x, %c or %2x.
constexpr int FormatConversions(const char* f) {
    int n = 0;
    for (; *f != '\0'; ++f) {
        if (*f != '%') continue;
        ++f;
        if (*f == '2') {
            ++f;
            if (*f != 'x') return -1;
        } else if (*f != 'd' && *f != 'x' && *f != 'c') {
            return -1;
        }
        ++n;
    }
    return n;
}

constexpr size_t ArgWidth(ArgKind k) {
    return k == ArgKind::Le16 ? 2 : k == ArgKind::Le32 ? 4 : 1;
}

constexpr bool PieceValid(const EventPiece& p) {
    if (p.cFormat == nullptr) return false;
    int count = 0;
    bool ended = false;
    for (const PieceArg& a : p.args) {
        if (a.kind == ArgKind::None) {
            ended = true;
            continue;
        }
        if (ended) return false;  // arguments are contiguous
        if (a.bPos + ArgWidth(a.kind) > EVENT_REC_SIZE) return false;
        ++count;
    }
    return FormatConversions(p.cFormat) == count;
}

constexpr bool ChoiceValid(const PieceChoice& c, int depth);

constexpr bool StepsValid(Steps steps, int depth) {
    for (const RenderStep& s : steps) {
        switch (s.kind) {
            case RenderStep::Kind::Piece:
                if (!PieceValid(s.piece)) return false;
                break;
            case RenderStep::Kind::Choice:
                if (s.pChoice == nullptr || !ChoiceValid(*s.pChoice, depth + 1)) return false;
                break;
            case RenderStep::Kind::Dump:
                if (s.bFrom > s.bTo || s.bTo >= EVENT_REC_SIZE) return false;
                break;
        }
    }
    return true;
}

constexpr bool RowValid(const ChoiceRow& r, int depth) {
    return r.bLow <= r.bHigh && PieceValid(r.piece) &&
           (r.pThen == nullptr || ChoiceValid(*r.pThen, depth + 1)) && StepsValid(r.more, depth);
}

constexpr bool ChoiceValid(const PieceChoice& c, int depth) {
    if (depth > 8 || c.bSelector >= EVENT_REC_SIZE) return false;
    for (size_t i = 0; i < c.rows.size(); ++i) {
        if (!RowValid(c.rows[i], depth)) return false;
        for (size_t j = 0; j < i; ++j)
            if (c.rows[i].bLow <= c.rows[j].bHigh && c.rows[j].bLow <= c.rows[i].bHigh)
                return false;
    }
    return RowValid(c.other, depth);
}

static_assert(ChoiceValid(kEventType, 0), "an event text table is malformed");

// ---------------------------------------------------------------------------------------------
// The renderer.

class TextBuilder {
  public:
    TextBuilder(const CtlrEvent& event, char (&text)[EVENT_TEXT_MAX]) : e_(event), out_(text) {
        out_[0] = '\0';
    }

    bool Mail() const { return mail_; }

    void Run(const PieceChoice& c) {
        uint8_t v = e_.Byte(c.bSelector);
        for (const ChoiceRow& r : c.rows) {
            if (v >= r.bLow && v <= r.bHigh) {
                Run(r);
                return;
            }
        }
        Run(c.other);
    }

  private:
    void Run(const ChoiceRow& r) {
        Append(r.piece);
        if (r.pThen != nullptr) Run(*r.pThen);
        Run(r.more);
    }

    void Run(Steps steps) {
        for (const RenderStep& s : steps) {
            switch (s.kind) {
                case RenderStep::Kind::Piece:
                    Append(s.piece);
                    break;
                case RenderStep::Kind::Choice:
                    Run(*s.pChoice);
                    break;
                case RenderStep::Kind::Dump:
                    for (unsigned k = s.bFrom; k <= s.bTo; ++k)
                        Append(Text("<%2x>", B(static_cast<uint8_t>(k))));
                    break;
            }
        }
    }

    unsigned ArgValue(const PieceArg& a) const {
        const size_t k = a.bPos;
        switch (a.kind) {
            case ArgKind::None:
                return 0;
            case ArgKind::Byte:
                return e_.Byte(k);
            case ArgKind::Le16:
                return e_.Byte(k) | (unsigned{e_.Byte(k + 1)} << 8);
            case ArgKind::Le32:
                return e_.Byte(k) | (unsigned{e_.Byte(k + 1)} << 8) |
                       (unsigned{e_.Byte(k + 2)} << 16) | (unsigned{e_.Byte(k + 3)} << 24);
            case ArgKind::Letter:
                return (65u + e_.Byte(k)) & 0xFFu;
            case ArgKind::Minus8:
                return (e_.Byte(k) - 8u) & 0xFFu;
            case ArgKind::Plus1:
                return e_.Byte(k) + 1u;
        }
        return 0;
    }

    // Appends one formatted piece; the text is cut rather than let past its buffer.
    void Append(const EventPiece& p) {
        if (p.blMail) mail_ = true;
        if (p.cFormat[0] == '\0') return;
        const size_t room = EVENT_TEXT_MAX - len_;  // including the terminator
        if (room <= 1) return;
        unsigned v[PIECE_ARGS_MAX];
        for (size_t i = 0; i < PIECE_ARGS_MAX; ++i)
            v[i] = ArgValue(p.args[i]);
            // The formats are the checked constants above; surplus arguments are ignored by printf.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        int n = std::snprintf(out_ + len_, room, p.cFormat, v[0], v[1], v[2], v[3]);
#pragma GCC diagnostic pop
        if (n < 0) {
            out_[len_] = '\0';
            return;
        }
        size_t written = static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1;
        // A letter of code 0 would end the text early; it stands as '?'.
        for (size_t i = len_; i < len_ + written; ++i)
            if (out_[i] == '\0') out_[i] = '?';
        len_ += written;
        out_[len_] = '\0';
    }

    const CtlrEvent& e_;
    char* out_;
    size_t len_ = 0;
    bool mail_ = false;
};

}  // namespace

bool EventToText(const CtlrEvent& event, char (&text)[EVENT_TEXT_MAX]) {
    EventMailFlag.store(false);
    TextBuilder builder(event, text);
    builder.Run(kEventType);
    const bool mail = builder.Mail();
    EventMailFlag.store(mail);
    return mail;
}

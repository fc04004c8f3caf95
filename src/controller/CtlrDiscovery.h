// Controller discovery: the start-up scan of ports 0 to 14, the probe of one unit, the filling
// of an entry from the identify block, the re-identification of one controller, and the card
// finder that announces every unit found.
//
// Identify. A unit is identified with the in-band command 1 sent as a 32-byte input (bytes
// after byte 2 zero): byte 1 is 1 + 32 x unit (1, 33, 65, 97 for the primary and secondary
// units 1 to 3), byte 2 the page (0: the 512-byte identify block, answered at bytes 3 to 514 of
// the 515 answer bytes; 20: answer byte 6 is the page-20 byte).
//
// Bound. The table holds 15 units (numbers 0 to 14). A unit that answers when the table is full
// is dropped with a log line ("Find : %s, Index : 0x%x, the table is full, unit SN(%s) dropped.")
// and the scan goes on, so that every such unit is named in the log; nothing is ever written to
// the probe slot or beyond the table.
//
// Locking. ScanCtlr holds CtlrProbeLock for the whole scan; ProbeCtlr expects its caller to hold
// it (ScanCtlr, RescanCtlr). Entry writes take CtlrTableLock exclusively, for the write only.
// RefreshCtlrEntry holds the controller's channel for its request and update, so it cannot
// interleave with a package transfer or a rescan.
#pragma once

#include <cstdint>
#include <functional>

#include "controller/CtlrDefs.h"

// The identify block and its fields (offsets from its start).
constexpr uint32_t CTLR_IDENT_SIZE = 512;
constexpr uint32_t CTLR_IDENT_CMD_SIZE = 32;      // input of the identify command
constexpr uint32_t CTLR_IDENT_ANSWER_SIZE = 515;  // answer bytes asked for
constexpr uint32_t CTLR_IDENT_ANSWER_OFF = 3;     // the block starts at answer byte 3
constexpr uint32_t CTLR_PAGE20_ANSWER_OFF = 6;    // the page-20 byte
constexpr uint8_t CTLR_CMD_IDENTIFY = 1;
constexpr uint8_t CTLR_IDENT_PAGE_BLOCK = 0;
constexpr uint8_t CTLR_IDENT_PAGE_20 = 20;
constexpr uint32_t IDENT_OFF_SIGNATURE = 0;     // 7 bytes
constexpr uint32_t IDENT_OFF_TEXT16 = 16;       // 16 bytes -> cIdent16
constexpr uint32_t IDENT_OFF_FALLBACK_SN = 32;  // 16 bytes
constexpr uint32_t IDENT_OFF_80 = 80;           // 2 bytes, big-endian -> usIdent80
constexpr uint32_t IDENT_OFF_95 = 95;
constexpr uint32_t IDENT_OFF_107 = 107;
constexpr uint32_t IDENT_OFF_TEXT112 = 112;  // 16 bytes -> cIdent112
constexpr uint32_t IDENT_OFF_PRODUCT_TYPE = 264;
constexpr uint32_t IDENT_OFF_VENDOR_TYPE = 265;
constexpr uint32_t IDENT_OFF_SN = 352;  // 19 bytes
constexpr uint32_t CTLR_SN_CHARS = 19;
constexpr uint32_t CTLR_FALLBACK_SN_CHARS = 16;

constexpr const char* CARD_FINDER_TITLE = "Tavenu RAID Manager Server Card Finder";
constexpr const char* CARD_FINDER_NONE_TEXT =
    "GUI Server can not find the direct attached storage. The storage may be connecting to the "
    "switch or with problem. If the system is in switch mode, please remove the GUI Server "
    "program manually or run the program automatically.";

// Sets the table up (all 16 entries alive with an empty serial) and runs ScanCtlr. Start-up
// only, before the polling thread and the GUI server start.
void InitCtlrTable();

// Probes ports 0 to 14 in order and records every unit that answers from number 0 upwards
// (bUnitMark 0, 16, 17, 18), announcing each with ShowCardFinder; shows the warning when none
// answers; finally empties every entry from the next free number to 15. Takes CtlrProbeLock.
void ScanCtlr();

// One unit that answered its probe during VisitCtlrPortUnits.
struct CtlrPortUnit {
    const char* path;      // the port's device path (BuildCtlrPortPath)
    int index;             // 0 for the primary unit, 1 to 3 for the secondary ones
    uint8_t unitMark;      // CTLR_UNIT_PRIMARY, CTLR_UNIT_SECONDARY1 to 3
    uint8_t page20Byte;    // what ProbeCtlr stored in its unit byte
    const uint8_t* ident;  // the identify block, CTLR_IDENT_SIZE bytes
};

// What a walk of the ports does beside probing. `logName` starts each of the walk's log lines
// and `secondaryName` names the secondary units in them.
struct CtlrPortWalk {
    const char* logName;
    const char* secondaryName;
    // A unit answered; `next` is the number it gets when the table has room (optional).
    std::function<void(const CtlrPortUnit& unit, uint8_t next)> answered;
    // The unit gets number n (below MAX_CTLR_NUM).
    std::function<void(const CtlrPortUnit& unit, uint8_t n)> record;
    // Every unit of the port has been probed; `next` is the first free number (optional).
    std::function<void(uint8_t next)> portDone;
};

// Walks ports 0 to 14 and, on each, the primary unit and then secondary units 1 to 3, stopping
// at the first unit that does not answer ProbeCtlr. Logs, with N the next free number:
//   "<logName> : <path>, Index : 0x<N>.\n" as the walk of a port starts;
//   "<logName> : <path>, Index : 0x<N>, the table is full, unit SN(<serial>) dropped.\n" for a
//   unit that answers when every number is taken;
//   "<logName> : <path>, Index : 0x<N> (<secondaryName><1 to 3>).\n" after the primary and the
//   first two secondary units, once they answered.
// Units that answer get numbers from 0 upwards through `record`; those beyond the table are
// dropped. Returns the first free number. The caller holds CtlrProbeLock.
uint8_t VisitCtlrPortUnits(const CtlrPortWalk& walk);

// Writes "\\.\Scsi<port>: " into buf (at least CTLR_DEVNAME_SIZE bytes).
void BuildCtlrPortPath(unsigned port, char* buf);

// Command byte 1 for a unit marker: 33, 65, 97 for 16, 17, 18, else 1.
uint8_t IdentUnitByte(uint8_t bUnitMark);

// Probes the unit `*unitByte` (0, 16, 17 or 18) behind `path` through the probe slot: identify
// page 0, the signature check ("KELDRAN", "Vostrel", or a non-zero Vendor Type), page 20. On
// success copies the 512 identify bytes to `ident`, stores the page-20 byte in *unitByte and
// returns true; on any failure returns false with *unitByte as it was (ident holds the block
// when only the page-20 query failed). The probe slot keeps the path and stays alive
// afterwards. The caller holds CtlrProbeLock.
bool ProbeCtlr(const char* path, uint8_t ident[CTLR_IDENT_SIZE], uint8_t* unitByte);

// Fills entry n (0 to 14) from the probe slot's device path and the identify block: cCtrlSN
// (identify bytes 352 to 370, or 32 to 47 and three NULs when those start with NUL or are all
// blanks), bIdent95, bIdent107, usIdent80, cIdent16, cIdent112, bPage20Byte. bState and
// bUnitMark are left alone. Numbers of 15 and above are refused (nothing written).
void FillCtlrEntry(uint8_t n, const uint8_t ident[CTLR_IDENT_SIZE], uint8_t page20Byte);

// As FillCtlrEntry without the device path.
void UpdateCtlrEntry(uint8_t n, const uint8_t ident[CTLR_IDENT_SIZE], uint8_t page20Byte);

// Identifies controller n (0 to 14) again and updates its entry (UpdateCtlrEntry with its
// current page-20 byte). False when the entry is not alive or the identify fails; the entry is
// then unchanged. No signature check and no page-20 query.
bool RefreshCtlrEntry(uint8_t n);

// With an identify block: sets card-finder text n from it (the serial text, or the fallback
// serial over its first 16 characters) and shows "Serial Number: <text>" in a message box on a
// thread of its own. Without one (nullptr): shows the no-controller warning the same way. The
// caller never waits for the box. n of 16 and above: nothing.
void ShowCardFinder(uint8_t n, const uint8_t* ident);

// Card-finder text n (0 to 15) as last set by ShowCardFinder, NUL-terminated ("" for others).
const char* CardFinderText(uint8_t n);

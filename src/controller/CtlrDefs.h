// Controller access: the controller entry and the control codes of the control channel.
#pragma once

#include <cstdint>

#include "protocol/DeviceCodes.h"

// Controller numbers.
constexpr uint8_t CTLR_TABLE_SLOTS = 16;  // numbers 0 to 15
constexpr uint8_t MAX_CTLR_NUM = 15;      // usable entries, numbers 0 to 14
constexpr uint8_t CTLR_PROBE_SLOT = 15;   // holds only the device path under test
constexpr uint8_t CTLR_INDEX_NONE = 255;  // no controller

// Entry states.
constexpr uint8_t CTLR_STATUS_EMPTY = 0;
constexpr uint8_t CTLR_STATUS_ALIVE = 1;

// Unit markers (bUnitMark).
constexpr uint8_t CTLR_UNIT_PRIMARY = 0;
constexpr uint8_t CTLR_UNIT_SECONDARY1 = 16;
constexpr uint8_t CTLR_UNIT_SECONDARY2 = 17;
constexpr uint8_t CTLR_UNIT_SECONDARY3 = 18;

constexpr int CTLR_SN_SIZE = 20;       // 19 characters and a NUL never overwritten
constexpr int CTLR_SN_COMPARE = 16;    // bytes compared by FindCtlrBySN
constexpr int CTLR_DEVNAME_SIZE = 20;  // NUL-terminated device path
constexpr int CTLR_IDENT_TEXT_SIZE = 20;

// One controller unit (a primary unit or one secondary unit).
struct CtlrEntry {
    uint8_t bState;                        // CTLR_STATUS_ALIVE or CTLR_STATUS_EMPTY
    char cCtrlSN[CTLR_SN_SIZE];            // serial-number text
    char cDevName[CTLR_DEVNAME_SIZE];      // device path of the port the unit answers on
    uint8_t bIdent95;                      // identify byte 95
    uint8_t bIdent107;                     // identify byte 107
    uint16_t usIdent80;                    // identify bytes 80, 81 big-endian
    char cIdent16[CTLR_IDENT_TEXT_SIZE];   // identify bytes 16 to 31, then terminator room
    char cIdent112[CTLR_IDENT_TEXT_SIZE];  // identify bytes 112 to 127, then terminator room
    uint8_t bPage20Byte;                   // data byte 3 of the page-20 identify answer
    uint8_t bUnitMark;                     // 0 primary; 16, 17, 18 secondary 1, 2, 3
};

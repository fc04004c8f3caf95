// Event pipeline: the event record as a controller delivers it, the record in which the polling
// thread passes one event on, and the sizes and limits shared by the event text, the event
// history and the event files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// The event record: 32 bytes, exactly as the controller delivers them.
constexpr size_t EVENT_REC_SIZE = 32;

// An event text holds at most EVENT_TEXT_MAX - 1 characters and its terminator.
constexpr size_t EVENT_TEXT_MAX = 256;

// The event history of one controller holds at most this many lines; when this many have been
// added since the last pack, they are packed into an "event_bak_" file.
constexpr uint32_t EVENT_BIN_LIST_MAX = 1023;
// One recorded line: its text and terminator fit in this many bytes. A loaded word of this many
// characters or more is skipped.
constexpr size_t EVENT_BIN_LINE_MAX = 256;
// One history head per controller number (0 to 15; 0 to 14 are used).
constexpr uint8_t EVENT_BIN_LIST_SLOTS = 16;

// Layout of a recorded line with a 19-character serial number:
// "MM/DD/YY-HH:MM:SS\" (18 characters), the serial number and "\" (20), then 64 hex digits.
constexpr size_t EVENT_BIN_PREFIX_LEN = 18;
constexpr size_t EVENT_BIN_HEX_POS = 38;
constexpr size_t EVENT_HEX_DIGITS = 2 * EVENT_REC_SIZE;

// The date text MM/DD/YY and the time text HH:MM:SS, each with its terminator.
constexpr size_t EVENT_DATE_TEXT_SIZE = 9;
constexpr size_t EVENT_TIME_TEXT_SIZE = 9;

// The start-up load pauses this long after each pack, so that the next pack's file name gets a
// different second in its stamp.
constexpr uint32_t EVENT_PACK_PAUSE_MS = 1500;

// The mail body of one event is assembled in this many bytes (it never reaches 420 characters).
constexpr size_t EVENT_MAIL_BODY_MAX = 512;
// The number in a mail body file's name runs from 1 to this.
constexpr uint32_t EVENT_MAIL_NUM_MAX = 1000;

// One controller event, 32 bytes. Byte 0 is the event type code, byte 1 the attribute byte, bytes
// 2 to 31 the parameters (their meaning depends on the type; multi-byte numbers little-endian).
struct CtlrEvent {
    uint8_t bEventType;                  // byte 0: the class of the event
    uint8_t bEventAttr;                  // byte 1: attribute byte
    uint8_t bParam[EVENT_REC_SIZE - 2];  // bytes 2 to 31

    // Byte k (0 to 31) of the record; k of 32 or more reads as 0.
    constexpr uint8_t Byte(size_t k) const {
        if (k == 0) return bEventType;
        if (k == 1) return bEventAttr;
        return k < EVENT_REC_SIZE ? bParam[k - 2] : 0;
    }
    // The 32 bytes in record order.
    void CopyTo(uint8_t (&out)[EVENT_REC_SIZE]) const { std::memcpy(out, this, EVENT_REC_SIZE); }
    static CtlrEvent FromBytes(const uint8_t (&in)[EVENT_REC_SIZE]) {
        CtlrEvent e;
        std::memcpy(&e, in, EVENT_REC_SIZE);
        return e;
    }
};
static_assert(sizeof(CtlrEvent) == EVENT_REC_SIZE, "CtlrEvent must be exactly 32 bytes");

// The record in which the polling thread receives one event and hands it to RecEventToFile.
struct CtlrEventRec {
    CtlrEvent event;  // the 32 event bytes
    uint8_t bValid;   // 1 when the record holds a fetched event, else 0
    uint8_t bCtlrNo;  // the controller number the event came from
};

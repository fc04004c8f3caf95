// REQ_GET_INBAND_EVENT: the sub-types and the layout of their replies.
// doc/protocol-events.md describes the requests and their replies.
#pragma once

#include <cstdint>

#include "protocol/GuiFrame.h"

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

// REQ_GET_INBAND_EVENT: a GUI client takes a controller's oldest queued event or reads its whole
// recorded history. doc/protocol-events.md describes the requests and their replies.
#pragma once

#include <cstdint>

#include "events/EventDefs.h"
#include "guiserver/GuiConn.h"
#include "protocol/EventWire.h"

static_assert(EVENT_LIST_HEADER_SIZE + EVENT_LIST_ENTRY_SIZE * EVENT_BIN_LIST_MAX <=
                  GUI_LARGE_REPLY_SIZE,
              "the whole history must fit the large reply buffer");

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

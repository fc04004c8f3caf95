// REQ_SERVER_CONFIG: the agent's own settings. doc/protocol-config.md describes every code.
//
// Request body: byte 0 0x02, byte 1 the request type (2), byte 2 the configuration code (read
// as a signed 8-bit value), bytes 3 onwards per code. Reply body: byte 0 0x02 (written by the
// send step), bytes 1 and 2 copied from the request, byte 3 SYS_SUCCESS, data from byte 4.
#pragma once

#include <cstdint>

#include "guiserver/GuiConn.h"
#include "protocol/ConfigCodes.h"

// Serves the configuration request in `conn` (received whole: conn.lReqLen body bytes, the
// first GUI_INLINE_BUF_SIZE of them in conn.cReqBuf). Reads no request byte at or past
// conn.lReqLen.
//
// On SYS_SUCCESS the reply is composed: conn.cRepBuf from offset 1 and conn.lRepLen. On any
// other status nothing of the reply is written and the dispatcher sends the 4-byte failure
// reply:
//   SYSFAIL_CFGCODE_UNKNOWN    0x60 code below 0 or above 18 ("Server CFG Code = 0x%x\n" on
//                              standard output, the code widened as a signed value)
//   SYSFAIL_CTLR_INDEX_EMPTY   0x61 code 4: no live controller at that number
//   SYSFAIL_MAIL_INDEX_ERR     0x70 codes 0, 1, 2: slot index 12 or more
//   SYSFAIL_CFG_TEXT_TOO_LONG  0x62 codes 1 and 7 to 10: the text is longer than the slot or
//                              item holds (127 characters, 63 for items 3 and 4)
//   SYSFAIL_CFG_REQ_LENGTH_ERR 0x63 the body ends before the bytes its code reads (the code
//                              byte, the slot or number byte, the length byte, the text the
//                              length byte announces, the 16-byte serial number), or code 1
//                              has the length byte 0
//   SYSFAIL_CFG_TEXT_BAD_CHAR  0x64 codes 1, 7 to 10 and 16: the text holds a blank or a control
//                              character (it could not be read back from its file)
// A refused request changes nothing and saves nothing. A mail file that cannot be rewritten is
// not reported (the change stays in memory).
//
// Thread-safe: runs on any connection thread. The mail settings are guarded by their own lock
// (src/mail/MailConfig.h); codes 3 and 18 rescan or identify on the calling thread and wait for
// it; codes 15 and 18 hold the controller's channel so that no rescan renumbers the table between
// the lookup and the work on that number.
uint8_t HandleSrvConfigReq(GuiConn& conn);

// REQ_INBAND_COMMAND: one in-band command from a GUI client to a controller, and its reply.
//
// A type-1 request carries one in-band command from request offset 18 to the end of the body:
// byte 0 the command code, byte 1 the parameter count c (signed), then parameters and data. The
// relay (controller/InBandRelay) adds the unit's addition to byte 1 and sends the command; the
// reply is bytes 1 and 2 copied from the request, bytes 3 and 4 the channel status, the
// controller's answer from byte 5 on.
//
//   command   answer bytes asked for   reply length
//   1, 178    c + 2 + 512               5 + (c + 2) + answer
//   168       c + 2 + 7                 5 + (c + 2) + answer
//   202       the command length n      5 + n + n
//   others    0                         5 + (c + 2), at least 5
//
// Package commands 148, 149, 150 carry bulk data of any size in the large-request block; the
// relay cuts it into packages of at most INBAND_PKG_SIZE data bytes (see HandleInBandPkgReq).
//
// Guards (requests the inline buffers cannot hold): a non-package request body of 2048 bytes or
// more, a request too short to hold a command code, an answer or reply that would pass the
// 2048-byte reply buffer (command 202 with more than 1021 bytes), and command 168 with a
// negative answer size are refused with SYSFAIL_INBAND_BAD_REQ before anything is sent.
#pragma once

#include <cstdint>

#include "guiserver/GuiConn.h"

// Relays the type-1 request in `conn` to controller `ctlrNo` and composes the reply in `conn`
// (cRepBuf from byte 1 on and lRepLen). Returns:
//   SYS_SUCCESS               relayed, the reply is composed
//   SYSFAIL_INBAND_NOT_ALIVE  0x22 the entry is not alive (or no longer holds the serial)
//   SYSFAIL_INBAND_CMD_FAIL   0x23 the channel failed (*errCode: the controller's error code or
//                             254); for a package command also: no large-request block or no
//                             package buffer (*errCode = INBAND_ERR_NO_PKG_BUF, 66)
//   SYSFAIL_INBAND_BAD_PKG    0x26 command 150 with a sub-command other than 0 or 1
//   SYSFAIL_INBAND_BAD_REQ    0x27 refused by a guard above, nothing sent
// On failure the reply is not composed (the dispatcher sends its failure reply). After a package
// command the large-request block is released (and bLargeReq cleared), whatever the outcome.
// errCode may be null. Runs on the connection thread; thread-safe against other relays.
uint8_t HandleInBandReq(GuiConn& conn, uint8_t ctlrNo, uint16_t* errCode);

// The package path of HandleInBandReq (commands 148, 149, 150), called only by it. Header of h-1
// bytes in the request (h = 7 for 148 and 149, 8 for 150 sub-command 0, 9 for sub-command 1),
// then the data. The reply is 5 + h bytes: the reply header and h bytes from request offset 18
// with the count byte rewritten to h-2. Statuses as for HandleInBandReq; a channel failure
// stops the transfer at the failed package.
uint8_t HandleInBandPkgReq(GuiConn& conn, uint8_t ctlrNo, uint16_t* errCode);

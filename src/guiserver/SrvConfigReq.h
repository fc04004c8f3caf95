// REQ_SERVER_CONFIG: the agent's own settings. doc/protocol-config.md describes every code.
//
// Request body: byte 0 0x02, byte 1 the request type (2), byte 2 the configuration code (read
// as a signed 8-bit value), bytes 3 onwards per code. Reply body: byte 0 0x02 (written by the
// send step), bytes 1 and 2 copied from the request, byte 3 SYS_SUCCESS, data from byte 4.
#pragma once

#include <cstdint>

#include "guiserver/GuiConn.h"

// Configuration codes (request byte 2).
constexpr int8_t CFGCODE_CLEAR_MAIL_ADDR = 0;     // byte 4 slot; saves mail.cfg
constexpr int8_t CFGCODE_UPDATE_MAIL_ADDR = 1;    // byte 3 n = length + 1, byte 4 slot, text
constexpr int8_t CFGCODE_GET_MAIL_ADDR = 2;       // byte 4 slot -> slot, L, text
constexpr int8_t CFGCODE_GET_CTRL_COUNT = 3;      // rescan, then the number of live controllers
constexpr int8_t CFGCODE_GET_CTRL_SN = 4;         // byte 4 number -> 19 bytes of cCtrlSN
constexpr int8_t CFGCODE_GET_MAILSRV_1 = 5;       // -> L, MailSrvItem1
constexpr int8_t CFGCODE_GET_MAILSRV_2 = 6;       // -> L, MailSrvItem2
constexpr int8_t CFGCODE_SET_MAILSRV_1 = 7;       // byte 3 n, text; saves mailSrv.cfg
constexpr int8_t CFGCODE_SET_MAILSRV_2 = 8;       // as code 7
constexpr int8_t CFGCODE_SET_MAILSRV_3 = 9;       // as code 7
constexpr int8_t CFGCODE_SET_MAILSRV_4 = 10;      // as code 7
constexpr int8_t CFGCODE_GET_MAILSRV_3 = 11;      // -> L, MailSrvItem3
constexpr int8_t CFGCODE_GET_MAILSRV_4 = 12;      // -> L, MailSrvItem4
constexpr int8_t CFGCODE_GET_MAIL_ENABLE = 13;    // -> 1 or 0 (IsMailEnabled)
constexpr int8_t CFGCODE_SET_MAIL_ENABLE = 14;    // byte 4: 0 off, else on; saves mailSrv.cfg
constexpr int8_t CFGCODE_CLEAR_CTRL_EVENTS = 15;  // bytes 3 to 18 a serial number
constexpr int8_t CFGCODE_SET_MAILSRV_6 = 16;      // byte 3 n, min(n, 64) bytes; saves mailSrv.cfg
constexpr int8_t CFGCODE_GET_MAILSRV_6 = 17;      // -> L, MailSrvItem6
constexpr int8_t CFGCODE_GET_CTRL_INFO = 18;      // byte 4 number -> number, present, text
constexpr int8_t CFGCODE_LAST = CFGCODE_GET_CTRL_INFO;

// Offsets in the request and reply bodies.
constexpr uint32_t CFG_OFF_CODE = 2;
constexpr uint32_t CFG_OFF_BYTE3 = 3;
constexpr uint32_t CFG_OFF_BYTE4 = 4;
constexpr uint32_t CFG_OFF_STATUS = 3;  // reply

// Code 18: the reply is always this long; the description text starts at byte 6.
constexpr uint32_t CFG_CTRL_INFO_REPLY_SIZE = 112;
constexpr uint32_t CFG_CTRL_INFO_TEXT_OFF = 6;

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

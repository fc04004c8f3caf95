// REQ_SERVER_CONFIG: the configuration codes and the layout of their requests and replies.
// doc/protocol-config.md describes every code.
//
// Request body: byte 0 0x02, byte 1 the request type (2), byte 2 the configuration code (read
// as a signed 8-bit value), bytes 3 onwards per code. Reply body: byte 0 0x02, bytes 1 and 2
// copied from the request, byte 3 SYS_SUCCESS, data from byte 4.
#pragma once

#include <cstdint>

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

// Extension codes (0x40 and up): the agent's own, beyond the codes GUI clients have always used;
// codes 19 to 0x3F stay unknown.
constexpr int8_t CFGCODE_SEND_TEST_MAIL = 0x40;   // -> n, then per recipient: sent, slot-less
                                                  // address, reason and detail (see below)
constexpr int8_t CFGCODE_GET_CTRL_STATUS = 0x41;  // byte 4 number -> number, present, unit
                                                  // marker, relay failures (see below)

// Code 0x40's reply, from byte 4: the recipient count n, then per recipient: 1 sent / 0 failed,
// the address length and the address, the reason length and the reason ("" when sent), the
// detail length and the detail (at most CFG_TEST_MAIL_DETAIL_MAX bytes; cut, or left out, when
// the reply would pass its buffer).
constexpr uint32_t CFG_TEST_MAIL_DETAIL_MAX = 80;
// How long the agent waits for the test mail's outcomes before it answers.
constexpr int CFG_TEST_MAIL_WAIT_S = 120;

// Code 0x41's reply, from byte 4: the number asked; 1 when it holds a live controller, else 0
// (and the rest 0); the unit's marker (0 the primary unit, 16 to 18 secondary units 1 to 3);
// the relays to it that failed in a row since its last success, at most 255 (the controller is
// cleared from the table past INBAND_FAIL_LIMIT). No controller is asked anything.
constexpr uint32_t CFG_CTRL_STATUS_REPLY_SIZE = 8;

// Offsets in the request and reply bodies.
constexpr uint32_t CFG_OFF_CODE = 2;
constexpr uint32_t CFG_OFF_BYTE3 = 3;
constexpr uint32_t CFG_OFF_BYTE4 = 4;
constexpr uint32_t CFG_OFF_STATUS = 3;  // reply

// Code 18: the reply is always this long; the description text starts at byte 6.
constexpr uint32_t CFG_CTRL_INFO_REPLY_SIZE = 112;
constexpr uint32_t CFG_CTRL_INFO_TEXT_OFF = 6;

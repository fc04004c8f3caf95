// Status bytes shared by every transfer, channel, handler and queue operation.
// SYS_SUCCESS ('P') means success; every other value is a failure code.
#pragma once

#include <cstdint>

constexpr uint8_t SYS_SUCCESS = 0x50;

// Controller control channel.
constexpr uint8_t SYSFAIL_IOCTL_INSIZE_ERR = 0x02;     // input size above 0x7FFFF
constexpr uint8_t SYSFAIL_IOCTL_FAIL = 0x03;           // DeviceIoControl reported failure
constexpr uint8_t SYSFAIL_IOCTL_OPEN_FAIL = 0x06;      // device path could not be opened
constexpr uint8_t SYSFAIL_CTLR_NOT_ALIVE = 0x07;       // entry is not CTLR_STATUS_ALIVE
constexpr uint8_t SYSFAIL_IOCTL_EMPTY_DEVNAME = 0x0D;  // entry has no device path
constexpr uint8_t SYSFAIL_IOCTL_RETURN_ERR = 0x24;     // controller refused / no event pending

// Two-phase frame transfer.
constexpr uint8_t SYSFAIL_TRANS_RETRY_OVER = 0x12;  // more than 10 zero results in one transfer
constexpr uint8_t SYSFAIL_TRANS_SOCKET_ERR = 0x13;  // send or recv reported an error
constexpr uint8_t SYSFAIL_TRANS_OVERRUN = 0x14;     // send or recv reported more than asked
constexpr uint8_t SYSFAIL_PHASE1_ERR = 0x15;        // header phase failed
constexpr uint8_t SYSFAIL_PHASE2_ERR = 0x16;        // body phase failed

// In-band command relay.
constexpr uint8_t SYSFAIL_INBAND_NOT_ALIVE = 0x22;  // controller entry not alive
constexpr uint8_t SYSFAIL_INBAND_CMD_FAIL = 0x23;   // channel failure, or no package buffer
constexpr uint8_t SYSFAIL_INBAND_BAD_PKG = 0x26;    // package command with a bad sub-command
constexpr uint8_t SYSFAIL_INBAND_BAD_REQ = 0x27;    // request too long for the inline buffers

// Request dispatch.
constexpr uint8_t SYSFAIL_CTLR_NOT_FOUND = 0x25;  // the serial number names no live controller
constexpr uint8_t SYSFAIL_ECHO_TOO_LONG = 0x17;   // echo body longer than the large reply buffer

// Event polling and event queues.
constexpr uint8_t SYSFAIL_EVENT_REQ_FAIL = 0x32;
constexpr uint8_t SYSFAIL_EVENT_NOT_ALIVE = 0x34;
constexpr uint8_t SYSFAIL_EVENT_EMPTY = 0x36;

// Server configuration requests.
constexpr uint8_t SYSFAIL_CFGCODE_UNKNOWN = 0x60;
constexpr uint8_t SYSFAIL_CTLR_INDEX_EMPTY = 0x61;
constexpr uint8_t SYSFAIL_MAIL_INDEX_ERR = 0x70;
constexpr uint8_t SYSFAIL_CFG_TEXT_TOO_LONG = 0x62;   // text longer than its slot or item holds
constexpr uint8_t SYSFAIL_CFG_REQ_LENGTH_ERR = 0x63;  // body shorter than the bytes its code reads
constexpr uint8_t SYSFAIL_CFG_TEXT_BAD_CHAR = 0x64;   // a blank or control character in a text
constexpr uint8_t SYSFAIL_MAIL_TEST_BUSY = 0x65;      // a test mail less than 10 s ago
constexpr uint8_t SYSFAIL_MAIL_TEST_FAIL = 0x66;      // the test mail could not be started

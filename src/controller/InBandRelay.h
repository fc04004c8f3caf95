// Relay of in-band commands to a controller: one command with its answer, or bulk data cut
// into packages. The GUI server decodes the request and composes the reply around these.
//
// The unit addition: command byte 1 gains 32, 64 or 96 for secondary units 1, 2, 3 (wrapping
// within 8 bits), so that the port's firmware reaches the unit the entry describes.
//
// Serialisation: each call holds the controller's channel (CtlrChannelHold) from reading its
// entry to the last package, so the packages of one transfer never interleave with another
// request to the same unit and no rescan renumbers the table in between. Under the hold it
// checks that the entry is alive and still carries the serial number the request names (a
// rescan may have moved the unit since the caller's lookup); when it does not, the call returns
// SYSFAIL_INBAND_NOT_ALIVE and nothing is sent.
//
// Thread-safe against other relays, polls and rescans.
#pragma once

#include <cstdint>

#include "controller/CtlrDefs.h"

// Sends the `cmdLen` command bytes at `cmd` (code, parameter count, parameters and data) to
// controller ctlrNo with IOCTL_DTR_INBAND_COMMAND, asking for `answerLen` answer bytes into
// `answer`. cmd[1] gains the unit's addition in place. Returns:
//   SYS_SUCCESS               the answer is in `answer`
//   SYSFAIL_INBAND_NOT_ALIVE  0x22 the entry is not alive or no longer holds `sn`; nothing sent
//   SYSFAIL_INBAND_CMD_FAIL   0x23 the channel failed (*errCode: the controller's error code or
//                             254)
// errCode may be null.
uint8_t RelayInBandCommand(uint8_t ctlrNo, const uint8_t sn[CTLR_SN_COMPARE], uint8_t* cmd,
                           uint32_t cmdLen, uint8_t* answer, uint32_t answerLen, uint16_t* errCode);

// Sends `dataLen` bytes at `data` to controller ctlrNo as packages of at most INBAND_PKG_SIZE
// data bytes. `header` holds the h - 1 header bytes of the transfer (command code, count byte
// h - 2, four length bytes, for 150 the sub-command and with sub-command 1 the byte after it);
// h is 7 for commands 148 and 149, 8 and 9 for 150 with sub-command 0 and 1. Each package is the
// command code, h - 2 plus the unit's addition, its data length (u32le), the last-package flag,
// for 150 the sub-command and with sub-command 1 the byte after it, then its data. Each
// package's answer (none asked for) lands in `answer`. Logs "---->pInBufAddr..." per package and
// writes "-->Execute DevIoControl lPkgIndex = 0x%x" per package and "-->A Execute ..." at the
// end to standard output. Statuses as for RelayInBandCommand; also SYSFAIL_INBAND_CMD_FAIL with
// *errCode INBAND_ERR_NO_PKG_BUF (66) when no package buffer can be had. A channel failure stops
// the transfer at the failed package.
uint8_t RelayInBandPackages(uint8_t ctlrNo, const uint8_t sn[CTLR_SN_COMPARE],
                            const uint8_t* header, uint32_t h, const uint8_t* data,
                            uint32_t dataLen, uint8_t* answer, uint16_t* errCode);

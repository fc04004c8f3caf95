// Controller health as the relay of in-band commands sees it: requests that name no live
// controller, and relay failures of each controller. Too many of the first make the agent
// rescan; too many of the second clear the controller from the table. doc/protocol-relay.md
// describes both counts.
//
// The counts outlive the connections. The unlisted-serial count is server-wide and returns to
// 0 after the rescan it triggers; each controller's failure count returns to 0 after a
// successful relay and after the controller is cleared. A failure count belongs to the serial
// number it was counted for: when a rescan has given the number to another unit, that unit's
// count starts again at 0.
//
// Thread-safe: every function here may run on any connection thread.
#pragma once

#include <cstdint>

#include "controller/CtlrDefs.h"

// Relay failures of one controller tolerated before it is cleared from the table. A request the
// relay refuses as malformed (SYSFAIL_INBAND_BAD_REQ) says nothing about the controller and is
// not counted.
constexpr int INBAND_FAIL_LIMIT = 32;
// Requests naming unknown serial numbers tolerated before the table is rescanned.
constexpr int UNLISTED_SN_LIMIT = 128;

// A relay request named the serial `snText` (its 16 request bytes, NUL-terminated), which no
// live controller carries: counts it, logs it, and past UNLISTED_SN_LIMIT rescans the table
// (on the calling thread, which waits for the rescan) and starts the count again.
void NoteUnlistedSn(const char* snText);

// The outcome of one relay to controller ctlrNo for serial `sn` (the request's 16 bytes;
// `snText` the same NUL-terminated): SYS_SUCCESS returns the controller's count to 0; any other
// status is logged with `errCode` and, unless it is SYSFAIL_INBAND_BAD_REQ, counted; past
// INBAND_FAIL_LIMIT the controller is cleared (ClearFailingCtlr).
void NoteInBandOutcome(uint8_t ctlrNo, const uint8_t sn[CTLR_SN_COMPARE], const char* snText,
                       uint8_t status, uint16_t errCode);

// Forgets controller n (its recorded events, through the cleared hook, and its entry) after too
// many relay failures. The channel is held from the check to the end, so that a rescan cannot
// have given the number to another unit in between: only the unit whose relays failed, still
// carrying serial `sn`, is cleared (and logged).
void ClearFailingCtlr(uint8_t n, const uint8_t sn[CTLR_SN_COMPARE], const char* snText);

// Relays since the start: every relay to a live controller, and the failed ones by controller
// number (malformed requests included). Thread-safe.
struct RelayStats {
    uint64_t commands;
    uint64_t failures[CTLR_TABLE_SLOTS];
};
RelayStats GetRelayStats();

// The relays to controller n, carrying serial `sn`, that failed in a row since its last success
// (0 when the count there was kept for another serial): what the console shows as its state.
int CtlrRelayFailures(uint8_t n, const uint8_t sn[CTLR_SN_COMPARE]);

// The two counts, for tests: the server-wide count of requests that named no live controller
// since the last rescan it triggered, and the relay failures of controller n since its last
// success or clearing.
int UnlistedSnCount();
int InBandFailCount(uint8_t ctlrNo);

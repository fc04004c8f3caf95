// Request dispatch: the body of every connection thread.
#pragma once

#include <cstdint>

#include "platform/Socket.h"

// Relay failures of one controller tolerated before it is cleared from the table. A request the
// relay refuses as malformed (SYSFAIL_INBAND_BAD_REQ) says nothing about the controller and is
// not counted.
constexpr int INBAND_FAIL_LIMIT = 32;
// Requests naming unknown serial numbers tolerated before the table is rescanned.
constexpr int UNLISTED_SN_LIMIT = 128;

// Receives one request on `sock`, hands it to the handler of its type, sends at most one
// reply, and ends the connection (closing the socket and lowering GuiConnCount).
void EnableServerSerive(plat::SockFd sock);

// The two counts of the type-1 paths, for tests: the server-wide count of requests that named
// no live controller since the last rescan it triggered (it returns to 0 with that rescan), and
// the relay failures of controller n since its last success or clearing (0 again after either,
// and when a rescan has given number n to a unit of another serial number).
// doc/protocol-relay.md describes both.
int UnlistedSnCount();
int InBandFailCount(uint8_t ctlrNo);

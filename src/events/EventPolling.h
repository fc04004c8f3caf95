// Event polling and the per-controller event queues.
#pragma once

#include <cstdint>

#include "guiserver/GuiConn.h"

// The polling thread: one sweep over controller numbers 0 to 14 every second, for ever.
void PollingCtlrEvent();

// Serves a REQ_GET_INBAND_EVENT request for live controller `ctlrNo`.
uint8_t HandleInBandEventReq(GuiConn& conn, uint8_t ctlrNo);

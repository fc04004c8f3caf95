// Relay of in-band commands from GUI clients to a controller.
#pragma once

#include <cstdint>

#include "guiserver/GuiConn.h"

// Relays the type-1 request in `conn` to controller `ctlrNo` and composes the reply in `conn`.
// Returns SYS_SUCCESS or a failure status; *errCode receives the in-band error code where the
// controller or the channel gives one.
uint8_t HandleInBandReq(GuiConn& conn, uint8_t ctlrNo, uint16_t* errCode);

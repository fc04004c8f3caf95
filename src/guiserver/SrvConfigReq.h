// REQ_SERVER_CONFIG: the agent's own settings.
#pragma once

#include <cstdint>

#include "guiserver/GuiConn.h"

// Serves the configuration request in `conn`; on SYS_SUCCESS the reply is composed.
uint8_t HandleSrvConfigReq(GuiConn& conn);

// Request dispatch: the body of every connection thread.
#pragma once

#include <cstdint>

#include "platform/Socket.h"

// Receives one request on `sock`, hands it to the handler of its type, sends at most one
// reply, and ends the connection (closing the socket and lowering GuiConnCount).
void EnableServerSerive(plat::SockFd sock);

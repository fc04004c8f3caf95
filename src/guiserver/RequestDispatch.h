// Request dispatch: the body of every connection thread.
#pragma once

#include <cstdint>

#include "platform/Socket.h"

// Receives one request on `sock`, hands it to the handler of its type, sends at most one
// reply, and closes the socket. The connection thread then ends with EndConnThread.
void EnableServerSerive(plat::SockFd sock);

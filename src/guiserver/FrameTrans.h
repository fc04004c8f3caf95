// The two-phase frame transfer.
#pragma once

#include <cstdint>

#include "guiserver/GuiConn.h"

// Moves exactly `length` bytes between `buffer` and `sock`: send for direction GUI_DIR_SEND,
// recv for GUI_DIR_RECV. Up to ten zero results are retried at once; the eleventh fails with
// SYSFAIL_TRANS_RETRY_OVER. A socket error gives SYSFAIL_TRANS_SOCKET_ERR, a count above the
// remainder SYSFAIL_TRANS_OVERRUN. Every failure is logged and closes the socket, and `sock` is
// then kInvalidSock, so that nobody closes it again. Length 0 succeeds at once.
uint8_t ByteTrans(plat::SockFd& sock, uint8_t* buffer, int32_t length, uint16_t direction);

// With direction GUI_DIR_RECV receives one whole request into `conn`; with any other direction
// sends the reply `conn` describes. Returns SYS_SUCCESS, SYSFAIL_PHASE1_ERR or
// SYSFAIL_PHASE2_ERR, each failure logged.
uint8_t ServerGUITrans(GuiConn& conn);

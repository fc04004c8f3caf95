// The GUI server's per-connection record and the limits of its buffers. The frame constants and
// request types are the protocol's (protocol/GuiFrame.h).
#pragma once

#include <cstdint>
#include <cstring>

#include "base/HeapBlock.h"
#include "platform/Socket.h"
#include "protocol/ByteOrder.h"
#include "protocol/GuiFrame.h"

constexpr uint16_t GUI_DIR_SEND = 1;  // the next transfer sends the reply
constexpr uint16_t GUI_DIR_RECV = 2;  // the next transfer receives a request

// A request body longer than GUI_MAX_REQUEST_SIZE fails phase 2 before anything is allocated.
// The large-request block grows only as the body's bytes arrive, so a client never makes the
// agent hold memory for bytes it has not sent.
// What all large-request blocks of all connections may hold together (the bodies of a few
// firmware images at once). A body that would pass it fails phase 2 like one whose memory
// cannot be had, so a crowd of large requests cannot exhaust the host's memory.
constexpr size_t GUI_LARGE_REQUEST_BUDGET = size_t{640} << 20;

// One connection: the request as received and the reply being composed. Owned by the
// connection thread; handlers get it by reference for one call.
//
// The record starts zero-filled, except the large reply buffer: whoever composes a large reply
// zero-fills the part of it that the reply length covers before writing, so no byte of an
// earlier connection can ever be sent (the buffer then costs nothing for ordinary requests).
struct GuiConn {
    plat::SockFd sock = plat::kInvalidSock;  // kInvalidSock once closed
    uint16_t flg_trans = 0;                  // GUI_DIR_SEND or GUI_DIR_RECV
    uint8_t cReqBuf[GUI_INLINE_BUF_SIZE];    // request body (first 2048 bytes of a large one)
    uint32_t lReqLen = 0;                    // announced body length; 0 until accepted
    uint8_t cRepBuf[GUI_INLINE_BUF_SIZE];    // reply body
    uint32_t lRepLen = 0;                    // reply bytes to send, marker byte included
    uint8_t bLargeReq = 0;                   // 1: the body is in pLargeReq
    HeapBlock pLargeReq;                     // whole body when it is 2048 bytes or longer
    uint8_t bLargeRep = 0;                   // 1: send from cLargeRepBuf
    uint8_t cLargeRepBuf[GUI_LARGE_REPLY_SIZE];

    GuiConn() {
        std::memset(cReqBuf, 0, sizeof cReqBuf);
        std::memset(cRepBuf, 0, sizeof cRepBuf);
    }
    GuiConn(const GuiConn&) = delete;
    GuiConn& operator=(const GuiConn&) = delete;

    // The whole request body: the large-request block when there is one, else the buffer.
    const uint8_t* ReqBody() const { return bLargeReq ? pLargeReq.Data() : cReqBuf; }
};

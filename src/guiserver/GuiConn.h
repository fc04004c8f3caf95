// The GUI server's per-connection record, the frame constants and the request types.
//
// Wire format, both directions: phase 1, a 5-byte header (0x01, then the body length as u32
// little-endian, never 0); phase 2, the body of exactly that length, starting with 0x02.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/ByteOrder.h"
#include "core/HeapBlock.h"
#include "platform/Socket.h"

constexpr uint32_t GUI_INLINE_BUF_SIZE = 2048;    // request and reply buffers
constexpr uint32_t GUI_LARGE_REPLY_SIZE = 71680;  // 70 x 1024: the event list reply
constexpr uint8_t GUI_PHASE_HEADER = 0x01;
constexpr uint8_t GUI_PHASE_BODY = 0x02;
constexpr uint32_t GUI_HEADER_SIZE = 5;

constexpr uint16_t GUI_DIR_SEND = 1;  // the next transfer sends the reply
constexpr uint16_t GUI_DIR_RECV = 2;  // the next transfer receives a request

// The longest request body accepted: room for a 128 MiB firmware image and its package header.
// A longer announced length fails phase 2 before anything is allocated. The large-request block
// grows only as the body's bytes arrive, so a client never makes the agent hold memory for
// bytes it has not sent.
constexpr uint32_t GUI_MAX_REQUEST_SIZE = (128u << 20) + 64;
// What all large-request blocks of all connections may hold together (the bodies of a few
// firmware images at once). A body that would pass it fails phase 2 like one whose memory
// cannot be had, so a crowd of large requests cannot exhaust the host's memory.
constexpr size_t GUI_LARGE_REQUEST_BUDGET = size_t{640} << 20;

// Request types (byte 1 of the request body).
constexpr int8_t REQ_INBAND_COMMAND = 1;
constexpr int8_t REQ_SERVER_CONFIG = 2;
constexpr int8_t REQ_GET_INBAND_EVENT = 3;
constexpr int8_t REQ_NET_ECHO_TEST = 4;
constexpr int8_t REQ_ECHO_AGENT_ALIVE = 5;

// Offsets in the request body.
constexpr uint32_t REQ_OFF_TYPE = 1;
constexpr uint32_t REQ_OFF_SN = 2;     // 16-byte controller serial number (types 1 and 3)
constexpr uint32_t REQ_OFF_DATA = 18;  // handler data (types 1 and 3)

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

// The GUI protocol's frames and requests, as the agent, the client and the benchmarks see them.
// doc/protocol.md describes the protocol.
//
// Wire format, both directions: phase 1, a 5-byte header (0x01, then the body length as u32
// little-endian, never 0); phase 2, the body of exactly that length, starting with 0x02.
#pragma once

#include <cstdint>

// The agent's port: TCP for GUI clients, UDP for the discovery responder.
constexpr uint16_t GUI_SERVER_PORT = 8922;

constexpr uint32_t GUI_INLINE_BUF_SIZE = 2048;    // request and reply buffers
constexpr uint32_t GUI_LARGE_REPLY_SIZE = 71680;  // 70 x 1024: the event list reply
constexpr uint8_t GUI_PHASE_HEADER = 0x01;
constexpr uint8_t GUI_PHASE_BODY = 0x02;
constexpr uint32_t GUI_HEADER_SIZE = 5;

// The longest request body accepted: room for a 128 MiB firmware image and its package header.
constexpr uint32_t GUI_MAX_REQUEST_SIZE = (128u << 20) + 64;

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
constexpr uint32_t REQ_SN_SIZE = 16;

// Type 1: the in-band command from REQ_OFF_DATA on (code, parameter count, parameters, data);
// the reply carries the controller's answer from REP_OFF_ANSWER on.
constexpr uint32_t REP_OFF_ANSWER = 5;

// The device control channel as the agent and the simulator both speak it: the request block
// handed to the SCSI port driver, the control codes and the in-band commands the agent relays.
// doc/device-transport.md describes the transport.
#pragma once

#include <cstdint>

// The request block (SRB_IO_CONTROL and its data area).
constexpr uint32_t SRB_BUF_SIZE = 524316;  // 0x8001C
constexpr uint32_t SRB_HEADER_SIZE = 28;
constexpr uint32_t SRB_DATA_SIZE = 524288;
constexpr uint32_t SRB_MAX_IN_SIZE = 0x7FFFF;
constexpr uint32_t SRB_TIMEOUT_SECONDS = 200;
constexpr const char* SRB_SIGNATURE = "babecafe";  // 8 bytes, no terminator

constexpr uint32_t IOCTL_SCSI_MINIPORT = 0x0004D008;

// Control codes.
constexpr uint32_t IOCTL_DTR_INBAND_COMMAND = 0x9C402400;
constexpr uint32_t IOCTL_DTR_GET_INBAND_EVENT = 0x9C40242C;     // primary unit
constexpr uint32_t IOCTL_DTR_GET_INBAND_EVENT_S1 = 0x9C40246C;  // secondary unit 1
constexpr uint32_t IOCTL_DTR_GET_INBAND_EVENT_S2 = 0x9C402470;  // secondary unit 2
constexpr uint32_t IOCTL_DTR_GET_INBAND_EVENT_S3 = 0x9C402474;  // secondary unit 3

// In-band commands with a meaning of their own to the relay.
constexpr uint8_t INBAND_CMD_IDENTIFY = 1;
constexpr uint8_t INBAND_CMD_GET_INFO = 168;
constexpr uint8_t INBAND_CMD_GET_PAGE = 178;
constexpr uint8_t INBAND_CMD_ECHO = 202;
constexpr uint8_t INBAND_CMD_PKG_148 = 148;  // package commands: bulk data in packages
constexpr uint8_t INBAND_CMD_PKG_149 = 149;
constexpr uint8_t INBAND_CMD_PKG_150 = 150;

// Data bytes per package at most.
constexpr uint32_t INBAND_PKG_SIZE = 3096;

// In-band error codes handed back beside a status.
constexpr uint16_t INBAND_ERR_IOCTL_FAIL = 254;  // DeviceIoControl failed
constexpr uint16_t INBAND_ERR_NO_PKG_BUF = 66;   // package command without a large request

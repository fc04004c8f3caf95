// The control channel: the one operation that talks to a controller.
//
// CtlrDevIoControl opens the device path of the controller's entry, hands it one
// IOCTL_SCSI_MINIPORT request carrying an SRB_IO_CONTROL block (signature "babecafe"), and
// closes it again. Nothing but the request block carries over from one call to the next.
//
// Serialisation. Calls to one controller number are serialised: each number 0 to 15 has a
// channel lock (recursive) that every call holds from before it reads the entry until the device
// is closed. Calls to different numbers run at once, also when they are units behind the same
// port; the driver (and pellomar-sim) takes concurrent requests on one port. A caller that must
// keep other requests away from a unit for several calls (the relay for the packages of one
// transfer, event polling between choosing the fetch code from bUnitMark and the fetch) holds
// the controller's channel with CtlrChannelHold across them; its own calls take the lock again.
// RescanCtlr holds every channel while it renumbers the table, so a held channel also keeps the
// controller's number from being given to another unit.
//
// Lock order: CtlrProbeLock, then channel locks (ascending when several), then CtlrTableLock.
// Never wait for a channel while holding the table lock, or a lock that ReloadEventBinFile or
// FreeEventBinList takes (the rescan calls them while it holds every channel).
//
// The request block. Each channel owns one 524316-byte block, reused by every call on that
// channel (the lock guards it), so a call neither allocates nor clears 512 KiB: the bytes the
// previous call wrote are cleared, the rest is known to be zero. At most 16 blocks exist, each
// made on the first call to its number. Only the meaningful prefix travels on the transport.
#pragma once

#include <cstdint>
#include <mutex>

#include "controller/CtlrDefs.h"

// The reply wait of one call: the block's own Timeout (200 s). A driver that does not answer
// within it fails the call as a DeviceIoControl failure.
constexpr int CTLR_CHANNEL_REPLY_TIMEOUT_MS = SRB_TIMEOUT_SECONDS * 1000;

// Sends one request to controller `ctlrNo` (0 to 15; the low 4 bits are used) and brings its
// answer back. Reads the entry's bState, cCtrlSN and cDevName (under the table lock, once the
// channel is held) and writes no entry field. Returns:
//   SYS_SUCCESS (0x50)          the answer arrived: the first outSize bytes of the data area are
//                               in outBuf (the bytes the driver did not write may hold the
//                               request); for an event fetch code, an event was delivered
//   SYSFAIL_CTLR_NOT_ALIVE      0x07 the entry is not alive ("Not CTLR_STATUS_ALIVE.")
//   SYSFAIL_IOCTL_EMPTY_DEVNAME 0x0D the entry has no device path
//   SYSFAIL_IOCTL_INSIZE_ERR    0x02 inSize above 0x7FFFF, or outSize above the 524288-byte data
//                               area; nothing opened, nothing read past the data area
//   SYSFAIL_IOCTL_OPEN_FAIL     0x06 the device could not be opened (the system error logged)
//   SYSFAIL_IOCTL_FAIL          0x03 DeviceIoControl failed (also: no answer within
//                               CTLR_CHANNEL_REPLY_TIMEOUT_MS, a malformed answer, or no request
//                               block to be had); *errCode = INBAND_ERR_IOCTL_FAIL (254)
//   SYSFAIL_IOCTL_RETURN_ERR    0x24 a command: the controller's ReturnCode is not 0, and
//                               *errCode = its upper 16 bits; an event fetch: no event pending
// outBuf is written only on SYS_SUCCESS; errCode (optional) only on the two paths named.
// Thread-safe.
uint8_t CtlrDevIoControl(uint8_t ctlrNo, uint32_t controlCode, uint32_t inSize, const void* inBuf,
                         uint32_t outSize, void* outBuf, uint16_t* errCode);

// True for the four IOCTL_DTR_GET_INBAND_EVENT codes.
bool IsEventFetchCode(uint32_t controlCode);

// The event-fetch code for a unit marker: 16, 17, 18 give secondary units 1 to 3, any other
// value the primary unit.
uint32_t EventFetchCodeForUnit(uint8_t bUnitMark);

// The channel lock of controller n (low 4 bits used). Recursive; see the header comment.
std::recursive_mutex& CtlrChannelLock(uint8_t n);

// Holds controller n's channel for the life of the object.
class CtlrChannelHold {
  public:
    explicit CtlrChannelHold(uint8_t n) : lock_(CtlrChannelLock(n)) {}

  private:
    std::lock_guard<std::recursive_mutex> lock_;
};

// Holds channel n for the life of the object when it is free right now, without waiting:
// Held() says whether it was had. The poller takes channels this way, so that a long transfer
// to one controller (or a rescan) never holds up the polling of the others.
class CtlrChannelTryHold {
  public:
    explicit CtlrChannelTryHold(uint8_t n) : lock_(CtlrChannelLock(n), std::try_to_lock) {}
    bool Held() const { return lock_.owns_lock(); }

  private:
    std::unique_lock<std::recursive_mutex> lock_;
};

// Holds every channel (0 to 15, in ascending order) for the life of the object: no channel call
// of another thread runs meanwhile.
class CtlrChannelHoldAll {
  public:
    CtlrChannelHoldAll();
    ~CtlrChannelHoldAll();
    CtlrChannelHoldAll(const CtlrChannelHoldAll&) = delete;
    CtlrChannelHoldAll& operator=(const CtlrChannelHoldAll&) = delete;
};

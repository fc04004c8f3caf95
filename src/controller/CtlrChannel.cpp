#include "controller/CtlrChannel.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/ServerLog.h"
#include "controller/CtlrTable.h"
#include "platform/DevChannel.h"
#include "protocol/ByteOrder.h"
#include "protocol/SysStatus.h"

namespace {

// Offsets in the request block (SRB_IO_CONTROL).
constexpr uint32_t SRB_OFF_HEADER_LENGTH = 0;
constexpr uint32_t SRB_OFF_SIGNATURE = 4;
constexpr uint32_t SRB_OFF_TIMEOUT = 12;
constexpr uint32_t SRB_OFF_CONTROL_CODE = 16;
constexpr uint32_t SRB_OFF_RETURN_CODE = 20;
constexpr uint32_t SRB_OFF_LENGTH = 24;

// One channel: its lock and its reused request block. `dirty` bytes from the start of the block
// may be non-zero; the rest is zero.
struct CtlrChannelState {
    std::recursive_mutex lock;
    uint8_t* block = nullptr;
    uint32_t dirty = 0;
};

CtlrChannelState& Channel(uint8_t n) {
    static CtlrChannelState channels[CTLR_TABLE_SLOTS];
    return channels[n % CTLR_TABLE_SLOTS];
}

// Length: the larger of inSize and outSize, except for the bulk commands, which give inSize.
uint32_t RequestLength(uint32_t inSize, const uint8_t* in, uint32_t outSize) {
    if (inSize != 0 && in != nullptr) {
        switch (in[0]) {
            case 148:
            case 149:
            case 150:
            case 177:
            case 203:
                return inSize;
            default:
                break;
        }
    }
    return outSize > inSize ? outSize : inSize;
}

}  // namespace

bool IsEventFetchCode(uint32_t controlCode) {
    return controlCode == IOCTL_DTR_GET_INBAND_EVENT ||
           controlCode == IOCTL_DTR_GET_INBAND_EVENT_S1 ||
           controlCode == IOCTL_DTR_GET_INBAND_EVENT_S2 ||
           controlCode == IOCTL_DTR_GET_INBAND_EVENT_S3;
}

uint32_t EventFetchCodeForUnit(uint8_t bUnitMark) {
    switch (bUnitMark) {
        case CTLR_UNIT_SECONDARY1:
            return IOCTL_DTR_GET_INBAND_EVENT_S1;
        case CTLR_UNIT_SECONDARY2:
            return IOCTL_DTR_GET_INBAND_EVENT_S2;
        case CTLR_UNIT_SECONDARY3:
            return IOCTL_DTR_GET_INBAND_EVENT_S3;
        default:
            return IOCTL_DTR_GET_INBAND_EVENT;
    }
}

std::recursive_mutex& CtlrChannelLock(uint8_t n) {
    return Channel(n).lock;
}

CtlrChannelHoldAll::CtlrChannelHoldAll() {
    for (uint8_t n = 0; n < CTLR_TABLE_SLOTS; ++n)
        Channel(n).lock.lock();
}

CtlrChannelHoldAll::~CtlrChannelHoldAll() {
    for (int n = CTLR_TABLE_SLOTS - 1; n >= 0; --n)
        Channel(static_cast<uint8_t>(n)).lock.unlock();
}

uint8_t CtlrDevIoControl(uint8_t ctlrNo, uint32_t controlCode, uint32_t inSize, const void* inBuf,
                         uint32_t outSize, void* outBuf, uint16_t* errCode) {
    CtlrChannelState& ch = Channel(ctlrNo);
    std::lock_guard<std::recursive_mutex> hold(ch.lock);

    // The entry, read once the channel is held.
    const CtlrEntry entry = SnapshotCtlrEntry(ctlrNo % CTLR_TABLE_SLOTS);
    char sn[CTLR_SN_SIZE];
    std::memcpy(sn, entry.cCtrlSN, sizeof sn);
    sn[CTLR_SN_SIZE - 1] = '\0';
    if (entry.bState != CTLR_STATUS_ALIVE) {
        SrvLog("Not CTLR_STATUS_ALIVE.\n");
        return SYSFAIL_CTLR_NOT_ALIVE;
    }
    if (entry.cDevName[0] == '\0') {
        SrvLog("SYSFAIL_IOCTL_EMPTY_DEVNAME.\n");
        return SYSFAIL_IOCTL_EMPTY_DEVNAME;
    }
    // Sizes, before any device is opened. An answer larger than the data area cannot be
    // read out of the block.
    if (inSize > SRB_MAX_IN_SIZE) {
        SrvLog("SYSFAIL_IOCTL_INSIZE_ERR.\n");
        return SYSFAIL_IOCTL_INSIZE_ERR;
    }
    if (outSize > SRB_DATA_SIZE) {
        SrvLog("Ctlr %s : outSize 0x%x exceeds the data area.\n", sn, outSize);
        return SYSFAIL_IOCTL_INSIZE_ERR;
    }

    // The block: what the last call wrote is cleared, the rest is zero already.
    if (ch.block == nullptr) {
        ch.block = static_cast<uint8_t*>(std::calloc(1, SRB_BUF_SIZE));
        ch.dirty = 0;
        if (ch.block == nullptr) {
            SrvLog("Ctlr %s : DeviceIoControl Fail, status: %d, %d.\n", sn, ENOMEM, 0);
            if (errCode != nullptr) *errCode = INBAND_ERR_IOCTL_FAIL;
            return SYSFAIL_IOCTL_FAIL;
        }
    }
    // The input goes out from the caller's buffer: the block's data area stays zero for it.
    uint8_t* block = ch.block;
    std::memset(block, 0, ch.dirty);
    ch.dirty = SRB_HEADER_SIZE;
    const auto* in = static_cast<const uint8_t*>(inBuf);

    char devName[CTLR_DEVNAME_SIZE + 1];
    std::memcpy(devName, entry.cDevName, CTLR_DEVNAME_SIZE);
    devName[CTLR_DEVNAME_SIZE] = '\0';
    char folder[plat::SRV_PATH_MAX];
    ServerFolderText(folder);
    plat::DevHandle dev;
    int sysErr = 0;
    if (!plat::DevOpen(devName, folder, dev, &sysErr)) {
        SrvLog("Ctlr %s : Create device handle fail, status : %d\n", sn, sysErr);
        return SYSFAIL_IOCTL_OPEN_FAIL;
    }

    // The request block's header.
    PutLe32(block + SRB_OFF_HEADER_LENGTH, SRB_HEADER_SIZE);
    std::memcpy(block + SRB_OFF_SIGNATURE, SRB_SIGNATURE, 8);
    PutLe32(block + SRB_OFF_TIMEOUT, SRB_TIMEOUT_SECONDS);
    PutLe32(block + SRB_OFF_CONTROL_CODE, controlCode);
    PutLe32(block + SRB_OFF_RETURN_CODE, 0);
    PutLe32(block + SRB_OFF_LENGTH, RequestLength(inSize, in, outSize));

    // One request; the handle closes on every path when `dev` goes out of scope.
    plat::DevIoRequest req;
    req.ioctlCode = IOCTL_SCSI_MINIPORT;
    req.block = block;
    req.blockSize = SRB_BUF_SIZE;
    req.sendLen = SRB_HEADER_SIZE + inSize;
    req.keepLen = SRB_HEADER_SIZE + outSize;
    req.timeoutMs = CTLR_CHANNEL_REPLY_TIMEOUT_MS;
    req.sendData = in;
    const plat::DevIoResult io = plat::DevIoControl(dev, req);
    ch.dirty = std::max(ch.dirty, std::min(io.touchedLen, SRB_BUF_SIZE));
    if (!io.ok) {
        SrvLog("Ctlr %s : DeviceIoControl Fail, status: %d, %d.\n", sn, io.sysErr, 0);
        if (errCode != nullptr) *errCode = INBAND_ERR_IOCTL_FAIL;
        return SYSFAIL_IOCTL_FAIL;
    }

    // The controller's return code.
    const uint32_t returnCode = GetLe32(block + SRB_OFF_RETURN_CODE);
    auto* out = static_cast<uint8_t*>(outBuf);
    if (IsEventFetchCode(controlCode)) {
        if (returnCode == 0) return SYSFAIL_IOCTL_RETURN_ERR;  // no event pending
        if (outSize != 0 && out != nullptr) std::memcpy(out, block + SRB_HEADER_SIZE, outSize);
        SrvLog("Ctlr %s : DeviceIoControl IOCTL_DTR_GET_INBAND_EVENT Success.\n", sn);
        return SYS_SUCCESS;
    }
    if (returnCode != 0) {
        SrvLog("lReturnCode: 0x%x\n", returnCode);
        SrvLog("InBand ErrCode: 0x%x\n", returnCode >> 16);
        if (errCode != nullptr) *errCode = static_cast<uint16_t>(returnCode >> 16);
        return SYSFAIL_IOCTL_RETURN_ERR;
    }
    if (outSize != 0 && out != nullptr) std::memcpy(out, block + SRB_HEADER_SIZE, outSize);
    return SYS_SUCCESS;
}

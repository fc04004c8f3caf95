#include "controller/InBandRelay.h"

#include <algorithm>
#include <cstring>

#include "base/HeapBlock.h"
#include "base/ServerLog.h"
#include "controller/CtlrChannel.h"
#include "controller/CtlrTable.h"
#include "protocol/SysStatus.h"

namespace {

// What command byte 1 gains for the entry's unit (wrapping within 8 bits).
uint8_t UnitAddition(uint8_t bUnitMark) {
    switch (bUnitMark) {
        case CTLR_UNIT_SECONDARY1:
            return 32;
        case CTLR_UNIT_SECONDARY2:
            return 64;
        case CTLR_UNIT_SECONDARY3:
            return 96;
        default:
            return 0;
    }
}

// Takes the entry of ctlrNo (the caller holds its channel). True when it is alive and still the
// controller the request names.
bool EntryServesRequest(uint8_t ctlrNo, const uint8_t* sn, uint8_t* unitMark) {
    if (ctlrNo >= MAX_CTLR_NUM) return false;
    const CtlrEntry e = SnapshotCtlrEntry(ctlrNo);
    if (e.bState != CTLR_STATUS_ALIVE) return false;
    if (std::memcmp(e.cCtrlSN, sn, CTLR_SN_COMPARE) != 0) return false;
    *unitMark = e.bUnitMark;
    return true;
}

}  // namespace

uint8_t RelayInBandCommand(uint8_t ctlrNo, const uint8_t sn[CTLR_SN_COMPARE], uint8_t* cmd,
                           uint32_t cmdLen, uint8_t* answer, uint32_t answerLen,
                           uint16_t* errCode) {
    CtlrChannelHold hold(ctlrNo);
    uint8_t unitMark = 0;
    if (!EntryServesRequest(ctlrNo, sn, &unitMark)) return SYSFAIL_INBAND_NOT_ALIVE;
    cmd[1] = static_cast<uint8_t>(cmd[1] + UnitAddition(unitMark));
    const uint8_t s =
        CtlrDevIoControl(ctlrNo, IOCTL_DTR_INBAND_COMMAND, cmdLen, cmd, answerLen, answer, errCode);
    return s == SYS_SUCCESS ? SYS_SUCCESS : SYSFAIL_INBAND_CMD_FAIL;
}

uint8_t RelayInBandPackages(uint8_t ctlrNo, const uint8_t sn[CTLR_SN_COMPARE],
                            const uint8_t* header, uint32_t h, const uint8_t* data,
                            uint32_t dataLen, uint8_t* answer, uint16_t* errCode) {
    // The channel is held for the whole transfer.
    CtlrChannelHold hold(ctlrNo);
    uint8_t unitMark = 0;
    if (!EntryServesRequest(ctlrNo, sn, &unitMark)) return SYSFAIL_INBAND_NOT_ALIVE;

    const uint32_t k = (dataLen + INBAND_PKG_SIZE - 1) / INBAND_PKG_SIZE;
    HeapBlock pkg;
    if (!pkg.Resize(h + INBAND_PKG_SIZE)) {
        if (errCode != nullptr) *errCode = INBAND_ERR_NO_PKG_BUF;
        return SYSFAIL_INBAND_CMD_FAIL;
    }
    uint8_t* buf = pkg.Data();
    uint32_t r = dataLen;

    // One package after the other: the header, with the sub-command bytes moved behind the
    // last-package flag, then the package's data.
    for (uint32_t i = 0; i < k; ++i) {
        std::memcpy(buf, header, h - 1);
        const uint32_t n = std::min(r, INBAND_PKG_SIZE);
        r -= n;
        if (h == 9) buf[8] = buf[7];  // the byte after the sub-command
        if (h >= 8) buf[7] = buf[6];  // the sub-command, behind the last-package flag
        buf[2] = static_cast<uint8_t>(n);
        buf[3] = static_cast<uint8_t>(n >> 8);
        buf[4] = static_cast<uint8_t>(n >> 16);
        buf[5] = static_cast<uint8_t>(n >> 24);
        buf[6] = i == k - 1 ? 1 : 0;
        std::memcpy(buf + h, data, n);
        SrvLog("---->pInBufAddr[0x%x] = 0x%x\n",
               static_cast<unsigned>(reinterpret_cast<uintptr_t>(data)),
               static_cast<unsigned>(static_cast<int>(static_cast<int8_t>(data[n - 1]))));
        data += n;
        StdOutMsg("-->Execute DevIoControl lPkgIndex = 0x%x\n", i);
        buf[1] = static_cast<uint8_t>(buf[1] + UnitAddition(unitMark));
        const uint8_t s =
            CtlrDevIoControl(ctlrNo, IOCTL_DTR_INBAND_COMMAND, h + n, buf, 0, answer, errCode);
        if (s != SYS_SUCCESS) return SYSFAIL_INBAND_CMD_FAIL;
    }
    StdOutMsg("-->A Execute DevIoControl lPkgIndex = 0x%x\n", k);
    return SYS_SUCCESS;
}

#include "controller/InBandRelay.h"

#include <algorithm>
#include <cstring>

#include "controller/CtlrChannel.h"
#include "controller/CtlrTable.h"
#include "core/HeapBlock.h"
#include "core/ServerLog.h"
#include "core/SysStatus.h"

namespace {

constexpr uint8_t INBAND_CMD_IDENTIFY = 1;
constexpr uint8_t INBAND_CMD_GET_PAGE = 178;
constexpr uint8_t INBAND_CMD_GET_INFO = 168;
constexpr uint8_t INBAND_CMD_ECHO = 202;
constexpr uint8_t INBAND_CMD_PKG_148 = 148;
constexpr uint8_t INBAND_CMD_PKG_149 = 149;
constexpr uint8_t INBAND_CMD_PKG_150 = 150;

constexpr uint32_t REQ_OFF_CMD = REQ_OFF_DATA;          // 18: command code
constexpr uint32_t REQ_OFF_COUNT = REQ_OFF_DATA + 1;    // 19: parameter count
constexpr uint32_t REQ_OFF_PKG_SUB = REQ_OFF_DATA + 6;  // 24: sub-command of 150
constexpr uint32_t REP_OFF_ANSWER = 5;

bool IsPackageCommand(uint8_t code) {
    return code == INBAND_CMD_PKG_148 || code == INBAND_CMD_PKG_149 || code == INBAND_CMD_PKG_150;
}

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

// The reply header of a relayed command.
void ComposeReplyHeader(GuiConn& conn, uint8_t status) {
    conn.bLargeRep = 0;
    conn.cRepBuf[1] = conn.cReqBuf[1];
    conn.cRepBuf[2] = conn.cReqBuf[2];
    conn.cRepBuf[3] = status;
    conn.cRepBuf[4] = status;
}

// Takes the entry of ctlrNo (the caller holds its channel). True when it is alive and still the
// controller the request names.
bool EntryServesRequest(const GuiConn& conn, uint8_t ctlrNo, uint8_t* unitMark) {
    if (ctlrNo >= MAX_CTLR_NUM) return false;
    const CtlrEntry e = SnapshotCtlrEntry(ctlrNo);
    if (e.bState != CTLR_STATUS_ALIVE) return false;
    if (std::memcmp(e.cCtrlSN, conn.cReqBuf + REQ_OFF_SN, CTLR_SN_COMPARE) != 0) return false;
    *unitMark = e.bUnitMark;
    return true;
}

}  // namespace

uint8_t HandleInBandReq(GuiConn& conn, uint8_t ctlrNo, uint16_t* errCode) {
    // A request too short to hold a command code carries no command.
    if (conn.lReqLen <= REQ_OFF_CMD) return SYSFAIL_INBAND_BAD_REQ;

    // 1. Package commands.
    const uint8_t code = conn.cReqBuf[REQ_OFF_CMD];
    if (IsPackageCommand(code)) {
        uint8_t s = HandleInBandPkgReq(conn, ctlrNo, errCode);
        conn.pLargeReq.Release();
        conn.bLargeReq = 0;
        return s;
    }
    // The command lies in the request buffer and its answer goes to the reply buffer.
    if (conn.lReqLen >= GUI_INLINE_BUF_SIZE) return SYSFAIL_INBAND_BAD_REQ;

    // 2 to 4. Sizes.
    const int c = static_cast<int8_t>(conn.cReqBuf[REQ_OFF_COUNT]);
    const int hl = c + 2;
    const int n = static_cast<int>(conn.lReqLen - REQ_OFF_DATA);
    int a = 0;
    switch (code) {
        case INBAND_CMD_IDENTIFY:
        case INBAND_CMD_GET_PAGE:
            a = hl + 512;
            break;
        case INBAND_CMD_GET_INFO:
            a = hl + 7;
            break;
        case INBAND_CMD_ECHO:
            a = n;
            break;
        default:
            a = 0;
            break;
    }
    if (a < 0) return SYSFAIL_INBAND_BAD_REQ;
    int replyLen = code == INBAND_CMD_ECHO ? 5 + n + a : 5 + hl + a;
    // A negative count leaves the reply header alone.
    replyLen = std::max(replyLen, static_cast<int>(REP_OFF_ANSWER));
    if (replyLen > static_cast<int>(GUI_INLINE_BUF_SIZE) ||
        static_cast<int>(REP_OFF_ANSWER) + a > static_cast<int>(GUI_INLINE_BUF_SIZE))
        return SYSFAIL_INBAND_BAD_REQ;
    conn.lRepLen = static_cast<uint32_t>(replyLen);

    // 5 to 7. One request, the channel held from the entry check to the answer.
    CtlrChannelHold hold(ctlrNo);
    uint8_t unitMark = 0;
    if (!EntryServesRequest(conn, ctlrNo, &unitMark)) return SYSFAIL_INBAND_NOT_ALIVE;
    conn.cReqBuf[REQ_OFF_COUNT] =
        static_cast<uint8_t>(conn.cReqBuf[REQ_OFF_COUNT] + UnitAddition(unitMark));
    uint8_t s = CtlrDevIoControl(ctlrNo, IOCTL_DTR_INBAND_COMMAND, static_cast<uint32_t>(n),
                                 conn.cReqBuf + REQ_OFF_DATA, static_cast<uint32_t>(a),
                                 conn.cRepBuf + REP_OFF_ANSWER, errCode);
    // 8, 9.
    if (s != SYS_SUCCESS) return SYSFAIL_INBAND_CMD_FAIL;
    ComposeReplyHeader(conn, s);
    return SYS_SUCCESS;
}

uint8_t HandleInBandPkgReq(GuiConn& conn, uint8_t ctlrNo, uint16_t* errCode) {
    // 1. Package commands come in the large-request block only.
    if (conn.bLargeReq == 0 || !conn.pLargeReq.Held() || conn.pLargeReq.Size() < conn.lReqLen ||
        conn.lReqLen < GUI_INLINE_BUF_SIZE) {
        if (errCode != nullptr) *errCode = INBAND_ERR_NO_PKG_BUF;
        return SYSFAIL_INBAND_CMD_FAIL;
    }
    uint8_t* req = conn.pLargeReq.Data();

    // 2. The header length h and the count byte.
    uint32_t h = 0;
    switch (req[REQ_OFF_CMD]) {
        case INBAND_CMD_PKG_148:
        case INBAND_CMD_PKG_149:
            h = 7;
            break;
        case INBAND_CMD_PKG_150:
            if (req[REQ_OFF_PKG_SUB] == 0)
                h = 8;
            else if (req[REQ_OFF_PKG_SUB] == 1)
                h = 9;
            else
                return SYSFAIL_INBAND_BAD_PKG;
            break;
        default:
            return SYSFAIL_INBAND_BAD_PKG;
    }
    req[REQ_OFF_COUNT] = static_cast<uint8_t>(h - 2);
    conn.cReqBuf[REQ_OFF_COUNT] = req[REQ_OFF_COUNT];

    // 3, 4. The reply and the data.
    conn.bLargeRep = 0;
    conn.lRepLen = h + REP_OFF_ANSWER;
    std::memcpy(conn.cRepBuf + REP_OFF_ANSWER, req + REQ_OFF_DATA, h);
    uint32_t r = conn.lReqLen - h - 17;
    const uint8_t* data = req + 17 + h;

    // 5. The channel is held for the whole transfer.
    CtlrChannelHold hold(ctlrNo);
    uint8_t unitMark = 0;
    if (!EntryServesRequest(conn, ctlrNo, &unitMark)) return SYSFAIL_INBAND_NOT_ALIVE;

    // 6, 7.
    const uint32_t k = (r + INBAND_PKG_SIZE - 1) / INBAND_PKG_SIZE;
    HeapBlock pkg;
    if (!pkg.Resize(h + INBAND_PKG_SIZE)) {
        if (errCode != nullptr) *errCode = INBAND_ERR_NO_PKG_BUF;
        return SYSFAIL_INBAND_CMD_FAIL;
    }
    uint8_t* buf = pkg.Data();

    // 8. One package after the other.
    for (uint32_t i = 0; i < k; ++i) {
        std::memcpy(buf, req + REQ_OFF_DATA, h - 1);
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
        uint8_t s = CtlrDevIoControl(ctlrNo, IOCTL_DTR_INBAND_COMMAND, h + n, buf, 0,
                                     conn.cRepBuf + REP_OFF_ANSWER, errCode);
        if (s != SYS_SUCCESS) return SYSFAIL_INBAND_CMD_FAIL;
        ComposeReplyHeader(conn, s);
    }
    // 9.
    StdOutMsg("-->A Execute DevIoControl lPkgIndex = 0x%x\n", k);
    return SYS_SUCCESS;
}

#include "guiserver/InBandReq.h"

#include <algorithm>
#include <cstring>

#include "controller/InBandRelay.h"
#include "protocol/DeviceCodes.h"
#include "protocol/SysStatus.h"

namespace {

constexpr uint32_t REQ_OFF_CMD = REQ_OFF_DATA;          // 18: command code
constexpr uint32_t REQ_OFF_COUNT = REQ_OFF_DATA + 1;    // 19: parameter count
constexpr uint32_t REQ_OFF_PKG_SUB = REQ_OFF_DATA + 6;  // 24: sub-command of 150
// The package header, the data length and the last-package flag sit between the count byte and
// the data: the data starts this far before REQ_OFF_DATA + h.
constexpr uint32_t REQ_PKG_DATA_BASE = 17;

bool IsPackageCommand(uint8_t code) {
    return code == INBAND_CMD_PKG_148 || code == INBAND_CMD_PKG_149 || code == INBAND_CMD_PKG_150;
}

// The reply header of a relayed command.
void ComposeReplyHeader(GuiConn& conn, uint8_t status) {
    conn.bLargeRep = 0;
    conn.cRepBuf[1] = conn.cReqBuf[1];
    conn.cRepBuf[2] = conn.cReqBuf[2];
    conn.cRepBuf[3] = status;
    conn.cRepBuf[4] = status;
}

}  // namespace

uint8_t HandleInBandReq(GuiConn& conn, uint8_t ctlrNo, uint16_t* errCode) {
    // A request too short to hold a command code carries no command.
    if (conn.lReqLen <= REQ_OFF_CMD) return SYSFAIL_INBAND_BAD_REQ;

    const uint8_t code = conn.cReqBuf[REQ_OFF_CMD];
    if (IsPackageCommand(code)) {
        uint8_t s = HandleInBandPkgReq(conn, ctlrNo, errCode);
        conn.pLargeReq.Release();
        conn.bLargeReq = 0;
        return s;
    }
    // The command lies in the request buffer and its answer goes to the reply buffer.
    if (conn.lReqLen >= GUI_INLINE_BUF_SIZE) return SYSFAIL_INBAND_BAD_REQ;

    // The answer size a and the reply length, from the command code and its count byte.
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

    uint8_t s = RelayInBandCommand(ctlrNo, conn.cReqBuf + REQ_OFF_SN, conn.cReqBuf + REQ_OFF_DATA,
                                   static_cast<uint32_t>(n), conn.cRepBuf + REP_OFF_ANSWER,
                                   static_cast<uint32_t>(a), errCode);
    if (s != SYS_SUCCESS) return s;
    ComposeReplyHeader(conn, s);
    return SYS_SUCCESS;
}

uint8_t HandleInBandPkgReq(GuiConn& conn, uint8_t ctlrNo, uint16_t* errCode) {
    // Package commands come in the large-request block only.
    if (conn.bLargeReq == 0 || !conn.pLargeReq.Held() || conn.pLargeReq.Size() < conn.lReqLen ||
        conn.lReqLen < GUI_INLINE_BUF_SIZE) {
        if (errCode != nullptr) *errCode = INBAND_ERR_NO_PKG_BUF;
        return SYSFAIL_INBAND_CMD_FAIL;
    }
    uint8_t* req = conn.pLargeReq.Data();

    // The header length h and the count byte.
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

    // The reply: the header and the h request bytes from the command code on.
    conn.bLargeRep = 0;
    conn.lRepLen = h + REP_OFF_ANSWER;
    std::memcpy(conn.cRepBuf + REP_OFF_ANSWER, req + REQ_OFF_DATA, h);
    const uint32_t dataLen = conn.lReqLen - h - REQ_PKG_DATA_BASE;
    const uint8_t* data = req + REQ_PKG_DATA_BASE + h;

    uint8_t s = RelayInBandPackages(ctlrNo, conn.cReqBuf + REQ_OFF_SN, req + REQ_OFF_DATA, h, data,
                                    dataLen, conn.cRepBuf + REP_OFF_ANSWER, errCode);
    if (s != SYS_SUCCESS) return s;
    // The reply header follows the last package's answer; a transfer without data sends none.
    if (dataLen > 0) ComposeReplyHeader(conn, s);
    return SYS_SUCCESS;
}

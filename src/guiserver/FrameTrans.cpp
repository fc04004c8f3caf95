#include "guiserver/FrameTrans.h"

#include <algorithm>

#include "base/ServerLog.h"
#include "guiserver/GuiListener.h"
#include "protocol/SysStatus.h"

namespace {

constexpr int BYTE_TRANS_MAX_ZERO = 10;
// The large-request block grows by at most this much beyond what has arrived.
constexpr uint32_t LARGE_REQ_FIRST_STEP = 64 * 1024;

// ByteTrans with the zero-result counter kept by the caller, so that one transfer that is
// received in several pieces still tolerates ten zero results in all.
uint8_t ByteTransCounted(plat::SockFd& sock, uint8_t* buffer, int32_t length, uint16_t direction,
                         int& zeroCount) {
    if (length == 0) return SYS_SUCCESS;
    int32_t remaining = length;
    uint8_t* pos = buffer;
    int n = 0;
    for (;;) {
        if (direction == GUI_DIR_SEND) {
            n = plat::SockSend(sock, pos, remaining);
        } else if (direction == GUI_DIR_RECV) {
            n = plat::SockRecv(sock, pos, remaining);
        } else {
            SrvLog("ERR: flg_trans.\n");
        }
        if (n == -2) {
            // The socket's time-out: the client delivered or took nothing for that long.
            NoteGuiTimeout(sock, direction == GUI_DIR_SEND);
            plat::SockClose(sock);
            sock = plat::kInvalidSock;
            return SYSFAIL_TRANS_SOCKET_ERR;
        }
        if (n == -1) {
            SrvLog("ERR: ByteSend = -1\n");
            plat::SockClose(sock);
            sock = plat::kInvalidSock;
            return SYSFAIL_TRANS_SOCKET_ERR;
        }
        if (n == 0) {
            if (zeroCount >= BYTE_TRANS_MAX_ZERO) {
                SrvLog("ERR: Resent Fail\n");
                plat::SockClose(sock);
                sock = plat::kInvalidSock;
                return SYSFAIL_TRANS_RETRY_OVER;
            }
            ++zeroCount;
            continue;
        }
        if (n > remaining) {
            SrvLog("ERR: ByteSend > LastByte\n");
            plat::SockClose(sock);
            sock = plat::kInvalidSock;
            return SYSFAIL_TRANS_OVERRUN;
        }
        pos += n;
        remaining -= n;
        if (remaining == 0) return SYS_SUCCESS;
    }
}

// Receives a body of `length` (2048 or more) into the large-request block, growing the block
// only as the bytes arrive. Returns SYS_SUCCESS, a ByteTrans failure, or SYSFAIL_PHASE2_ERR when
// the memory cannot be had (logged here).
uint8_t RecvLargeBody(GuiConn& conn, uint32_t length) {
    // Kept for the life of the process: blocks may be released by connection threads until the
    // end.
    static HeapBudget* const budget = new HeapBudget(GUI_LARGE_REQUEST_BUDGET);
    if (!conn.pLargeReq.Held()) conn.pLargeReq.SetBudget(budget);
    int zeroCount = 0;
    uint32_t got = 0;
    while (got < length) {
        uint32_t want = std::min(length, std::max(LARGE_REQ_FIRST_STEP, got * 2));
        if (!conn.pLargeReq.Resize(want)) {
            SrvLog("ServerGUITrans : Large request block fail, bReqLen = 0x%x!\n", length);
            return SYSFAIL_PHASE2_ERR;
        }
        uint8_t s = ByteTransCounted(conn.sock, conn.pLargeReq.Data() + got,
                                     static_cast<int32_t>(want - got), GUI_DIR_RECV, zeroCount);
        if (s != SYS_SUCCESS) return s;
        got = want;
    }
    return SYS_SUCCESS;
}

uint8_t ReceiveRequest(GuiConn& conn) {
    uint8_t header[GUI_HEADER_SIZE] = {};
    uint8_t s = ByteTrans(conn.sock, header, GUI_HEADER_SIZE, GUI_DIR_RECV);
    if (s != SYS_SUCCESS) {
        SrvLog("ServerGUITrans : Phase 1 Error, Code: 0x%x!\n", s);
        return SYSFAIL_PHASE1_ERR;
    }
    uint32_t length = GetLe32(header + 1);
    conn.lReqLen = 0;
    if (header[0] != GUI_PHASE_HEADER) {
        SrvLog("ERR: Not Phase 1, bPhaseStatus = 0x%x.\n", header[0]);
        return SYSFAIL_PHASE1_ERR;
    }
    if (length == 0) {
        SrvLog("ERR: bReqLen = 0x%x!\n", length);
        return SYSFAIL_PHASE1_ERR;
    }
    if (length >= GUI_INLINE_BUF_SIZE) {
        if (length > GUI_MAX_REQUEST_SIZE) {
            SrvLog("ServerGUITrans : Request too long, bReqLen = 0x%x!\n", length);
            return SYSFAIL_PHASE2_ERR;
        }
        conn.bLargeReq = 1;
    } else {
        conn.bLargeReq = 0;
    }
    conn.lReqLen = length;
    if (conn.bLargeReq) {
        s = RecvLargeBody(conn, length);
        if (s == SYSFAIL_PHASE2_ERR) return s;
    } else {
        s = ByteTrans(conn.sock, conn.cReqBuf, static_cast<int32_t>(length), GUI_DIR_RECV);
    }
    if (s != SYS_SUCCESS) {
        SrvLog("ServerGUITrans : Phase 2 Error, Code: 0x%x!\n", s);
        return SYSFAIL_PHASE2_ERR;
    }
    if (conn.bLargeReq) std::memcpy(conn.cReqBuf, conn.pLargeReq.Data(), GUI_INLINE_BUF_SIZE);
    if (conn.cReqBuf[0] == GUI_PHASE_BODY) return SYS_SUCCESS;
    SrvLog("ServerGUITrans : Not Phase 2, bPhaseStatus = 0x%x.\n",
           static_cast<unsigned>(static_cast<int>(static_cast<int8_t>(conn.cReqBuf[0]))));
    return SYSFAIL_PHASE2_ERR;
}

uint8_t SendReply(GuiConn& conn) {
    // The reply never runs past the buffer it is sent from.
    conn.lRepLen =
        std::min(conn.lRepLen, conn.bLargeRep ? GUI_LARGE_REPLY_SIZE : GUI_INLINE_BUF_SIZE);
    uint8_t header[GUI_HEADER_SIZE] = {GUI_PHASE_HEADER};
    PutLe32(header + 1, conn.lRepLen);
    uint8_t s = ByteTrans(conn.sock, header, GUI_HEADER_SIZE, conn.flg_trans);
    if (s != SYS_SUCCESS) {
        SrvLog("ServerGUITrans : Phase 1 Error, Code: 0x%x!\n", s);
        return SYSFAIL_PHASE1_ERR;
    }
    if (conn.lRepLen == 0) {
        SrvLog("ServerGUITrans : OutBufferLength = 0x%x!\n", conn.lRepLen);
        return SYSFAIL_PHASE1_ERR;
    }
    int32_t len = static_cast<int32_t>(conn.lRepLen);
    if (conn.bLargeRep == 0) {
        conn.cRepBuf[0] = GUI_PHASE_BODY;
        s = ByteTrans(conn.sock, conn.cRepBuf, len, conn.flg_trans);
    } else {
        conn.cLargeRepBuf[0] = GUI_PHASE_BODY;
        s = ByteTrans(conn.sock, conn.cLargeRepBuf, len, conn.flg_trans);
        conn.bLargeRep = 0;
    }
    if (s == SYS_SUCCESS) return SYS_SUCCESS;
    SrvLog("ServerGUITrans : Phase 2 Error, Code: 0x%x!\n", s);
    return SYSFAIL_PHASE2_ERR;
}

}  // namespace

uint8_t ByteTrans(plat::SockFd& sock, uint8_t* buffer, int32_t length, uint16_t direction) {
    int zeroCount = 0;
    return ByteTransCounted(sock, buffer, length, direction, zeroCount);
}

uint8_t ServerGUITrans(GuiConn& conn) {
    if (conn.flg_trans == GUI_DIR_RECV) return ReceiveRequest(conn);
    return SendReply(conn);
}

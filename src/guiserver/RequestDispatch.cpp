#include "guiserver/RequestDispatch.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "controller/CtlrChannel.h"
#include "controller/CtlrRescan.h"
#include "controller/CtlrTable.h"
#include "controller/InBandRelay.h"
#include "core/ServerLog.h"
#include "core/SysStatus.h"
#include "events/EventPolling.h"
#include "events/EventRecord.h"
#include "guiserver/FrameTrans.h"
#include "guiserver/GuiConn.h"
#include "guiserver/GuiListener.h"
#include "guiserver/SrvConfigReq.h"

namespace {

// The counts outlive the connections. The unlisted-serial count is server-wide and returns to
// 0 after the rescan it triggers; each controller's failure count returns to 0 after a
// successful relay and after the controller is cleared. A failure count belongs to the serial
// number it was counted for: when a rescan has given the number to another unit, that unit's
// count starts again at 0.
std::mutex g_countLock;
int g_unlistedSn = 0;
int g_inBandFail[CTLR_TABLE_SLOTS] = {};
uint8_t g_inBandFailSn[CTLR_TABLE_SLOTS][CTLR_SN_COMPARE] = {};

// The 4-byte failure reply: type, echo byte, status.
void ComposeFailReply(GuiConn& conn, uint8_t status) {
    conn.bLargeRep = 0;
    conn.cRepBuf[1] = conn.cReqBuf[1];
    conn.cRepBuf[2] = conn.cReqBuf[2];
    conn.cRepBuf[3] = status;
    conn.lRepLen = 4;
}

uint8_t SendReply(GuiConn& conn) {
    conn.flg_trans = GUI_DIR_SEND;
    return ServerGUITrans(conn);
}

// Forgets controller n (its recorded events and its entry) after too many relay failures. The
// channel is held from the check to the end, so that a rescan cannot have given the number to
// another unit in between: only the unit whose relays failed is cleared (and logged).
void ClearFailingCtlr(uint8_t n, const uint8_t* sn, const char* snText) {
    CtlrChannelHold hold(n);
    const CtlrEntry e = SnapshotCtlrEntry(n);
    if (e.bState != CTLR_STATUS_ALIVE || std::memcmp(e.cCtrlSN, sn, CTLR_SN_COMPARE) != 0) return;
    SrvLog(
        "REQ_INBAND_COMMAND %02d : SN(%s) HandleInBandReq fail count over, clear the "
        "device info.\n",
        static_cast<int>(n), snText);
    FreeEventBinList(n);
    ZeroCtlrEntry(n);
}

void ServeInBandCommand(GuiConn& conn, const char* sn) {
    uint16_t ctlrNo = FindCtlrBySN(conn.cReqBuf + REQ_OFF_SN);
    if (ctlrNo == CTLR_INDEX_NONE) {
        int count;
        {
            std::lock_guard<std::mutex> lock(g_countLock);
            count = ++g_unlistedSn;
            if (count > UNLISTED_SN_LIMIT) g_unlistedSn = 0;
        }
        SrvLog("REQ_INBAND_COMMAND : SN(%s), ID 0xFF was unavailable, Cnt : %d.\n", sn, count);
        if (count > UNLISTED_SN_LIMIT) RescanCtlr();
        ComposeFailReply(conn, SYSFAIL_CTLR_NOT_FOUND);
        uint8_t s = SendReply(conn);
        if (s != SYS_SUCCESS)
            SrvLog("REQ_INBAND_COMMAND : SN(%s) ServerGUITrans Fail, bStatus = 0x%x\n", sn, s);
        return;
    }
    const int no = static_cast<int16_t>(ctlrNo);
    uint16_t usInBandErrCode = 0;
    uint8_t s = HandleInBandReq(conn, static_cast<uint8_t>(ctlrNo), &usInBandErrCode);
    if (s != SYS_SUCCESS) {
        int count;
        {
            std::lock_guard<std::mutex> lock(g_countLock);
            if (std::memcmp(g_inBandFailSn[ctlrNo], conn.cReqBuf + REQ_OFF_SN, CTLR_SN_COMPARE) !=
                0) {
                std::memcpy(g_inBandFailSn[ctlrNo], conn.cReqBuf + REQ_OFF_SN, CTLR_SN_COMPARE);
                g_inBandFail[ctlrNo] = 0;
            }
            // A malformed request says nothing about the controller: it is not counted.
            if (s != SYSFAIL_INBAND_BAD_REQ) ++g_inBandFail[ctlrNo];
            count = g_inBandFail[ctlrNo];
            if (count > INBAND_FAIL_LIMIT) g_inBandFail[ctlrNo] = 0;
        }
        SrvLog(
            "REQ_INBAND_COMMAND %02d : SN(%s) HandleInBandReq fail, bStatus 0x%x, "
            "usInBandErrCode 0x%x, Cnt %d.\n",
            no, sn, s, usInBandErrCode, count);
        if (count > INBAND_FAIL_LIMIT)
            ClearFailingCtlr(static_cast<uint8_t>(ctlrNo), conn.cReqBuf + REQ_OFF_SN, sn);
        ComposeFailReply(conn, s);
        conn.cRepBuf[4] = static_cast<uint8_t>(usInBandErrCode & 0xFF);
        conn.cRepBuf[5] = static_cast<uint8_t>(usInBandErrCode >> 8);
        conn.lRepLen = 6;
    } else {
        std::lock_guard<std::mutex> lock(g_countLock);
        g_inBandFail[ctlrNo] = 0;
    }
    uint8_t t = SendReply(conn);
    if (t != SYS_SUCCESS)
        SrvLog("REQ_INBAND_COMMAND %02d : SN(%s) ServerGUITrans Fail, bStatus = 0x%x\n", no, sn, t);
}

void ServeServerConfig(GuiConn& conn) {
    uint8_t s = HandleSrvConfigReq(conn);
    if (s != SYS_SUCCESS) {
        SrvLog("REQ_SERVER_CONFIG HandleSrvConfigReq fail, bStatus 0x%x.\n", s);
        ComposeFailReply(conn, s);
    }
    uint8_t t = SendReply(conn);
    if (t != SYS_SUCCESS) SrvLog("REQ_SERVER_CONFIG ServerGUITrans Fail, bStatus = 0x%x\n", t);
}

void ServeInBandEvent(GuiConn& conn, const char* sn) {
    uint16_t ctlrNo = FindCtlrBySN(conn.cReqBuf + REQ_OFF_SN);
    if (ctlrNo == CTLR_INDEX_NONE) {
        ComposeFailReply(conn, SYSFAIL_CTLR_NOT_FOUND);
        SendReply(conn);
        return;
    }
    uint8_t s = HandleInBandEventReq(conn, static_cast<uint8_t>(ctlrNo));
    if (s != SYS_SUCCESS) ComposeFailReply(conn, s);
    uint8_t t = SendReply(conn);
    if (t != SYS_SUCCESS)
        SrvLog("REQ_GET_INBAND_EVENT %02d : SN(%s) ServerGUITrans fail, bStatus 0x%x.\n",
               static_cast<int>(static_cast<int16_t>(ctlrNo)), sn, t);
}

// Echo: the reply is byte for byte the request. A body longer than the reply buffer goes back
// from the large reply buffer; one longer than that gets a failure reply.
void ServeEcho(GuiConn& conn, int8_t type) {
    if (conn.lReqLen <= GUI_INLINE_BUF_SIZE) {
        std::memcpy(conn.cRepBuf, conn.cReqBuf, GUI_INLINE_BUF_SIZE);
        conn.lRepLen = conn.lReqLen;
    } else if (conn.lReqLen <= GUI_LARGE_REPLY_SIZE) {
        std::memcpy(conn.cLargeRepBuf, conn.pLargeReq.Data(), conn.lReqLen);
        conn.lRepLen = conn.lReqLen;
        conn.bLargeRep = 1;
    } else {
        ComposeFailReply(conn, SYSFAIL_ECHO_TOO_LONG);
    }
    uint8_t t = SendReply(conn);
    if (t != SYS_SUCCESS) {
        if (type == REQ_NET_ECHO_TEST)
            SrvLog("REQ_NET_ECHO_TEST : ServerGUITrans fail, bStatus 0x%x.\n", t);
        else
            SrvLog("REQ_ECHO_AGENT_ALIVE : ServerGUITrans fail, bStatus 0x%x.\n", t);
    }
}

}  // namespace

void EnableServerSerive(plat::SockFd sock) {
    // The record is large; it lives on this thread's stack for the one request.
    GuiConn conn;
    conn.sock = sock;
    conn.flg_trans = GUI_DIR_RECV;
    conn.bLargeReq = 0;

    uint8_t s = ServerGUITrans(conn);
    if (s != SYS_SUCCESS) {
        SrvLog("EnableServerSerive : Get Request Frame Fail! bStatus = 0x%x\n", s);
    } else {
        char sn[CTLR_SN_COMPARE + 1] = {};
        std::memcpy(sn, conn.cReqBuf + REQ_OFF_SN, CTLR_SN_COMPARE);
        int8_t type = static_cast<int8_t>(conn.cReqBuf[REQ_OFF_TYPE]);
        switch (type) {
            case REQ_INBAND_COMMAND:
                ServeInBandCommand(conn, sn);
                break;
            case REQ_SERVER_CONFIG:
                ServeServerConfig(conn);
                break;
            case REQ_GET_INBAND_EVENT:
                ServeInBandEvent(conn, sn);
                break;
            case REQ_NET_ECHO_TEST:
            case REQ_ECHO_AGENT_ALIVE:
                ServeEcho(conn, type);
                break;
            default:
                SrvLog("EnableServerSerive : REQ TYPE (0x%02x) undefine.\n",
                       static_cast<unsigned>(static_cast<int>(type)));
                break;
        }
    }
    // The one way out.
    CloseGuiConn(conn);
    conn.pLargeReq.Release();
    EndConnThread();
}

int UnlistedSnCount() {
    std::lock_guard<std::mutex> lock(g_countLock);
    return g_unlistedSn;
}

int InBandFailCount(uint8_t ctlrNo) {
    std::lock_guard<std::mutex> lock(g_countLock);
    return g_inBandFail[ctlrNo % CTLR_TABLE_SLOTS];
}

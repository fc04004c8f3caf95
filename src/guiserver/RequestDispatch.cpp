#include "guiserver/RequestDispatch.h"

#include <cstring>

#include "base/ServerLog.h"
#include "controller/CtlrHealth.h"
#include "controller/CtlrTable.h"
#include "guiserver/EventReq.h"
#include "guiserver/FrameTrans.h"
#include "guiserver/GuiConn.h"
#include "guiserver/GuiListener.h"
#include "guiserver/InBandReq.h"
#include "guiserver/SrvConfigReq.h"
#include "protocol/SysStatus.h"

namespace {

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

void ServeInBandCommand(GuiConn& conn, const char* sn) {
    uint16_t ctlrNo = FindCtlrBySN(conn.cReqBuf + REQ_OFF_SN);
    if (ctlrNo == CTLR_INDEX_NONE) {
        NoteUnlistedSn(sn);
        ComposeFailReply(conn, SYSFAIL_CTLR_NOT_FOUND);
        uint8_t s = SendReply(conn);
        if (s != SYS_SUCCESS)
            SrvLog("REQ_INBAND_COMMAND : SN(%s) ServerGUITrans Fail, bStatus = 0x%x\n", sn, s);
        return;
    }
    const int no = static_cast<int16_t>(ctlrNo);
    uint16_t usInBandErrCode = 0;
    uint8_t s = HandleInBandReq(conn, static_cast<uint8_t>(ctlrNo), &usInBandErrCode);
    NoteInBandOutcome(static_cast<uint8_t>(ctlrNo), conn.cReqBuf + REQ_OFF_SN, sn, s,
                      usInBandErrCode);
    if (s != SYS_SUCCESS) {
        ComposeFailReply(conn, s);
        conn.cRepBuf[4] = static_cast<uint8_t>(usInBandErrCode & 0xFF);
        conn.cRepBuf[5] = static_cast<uint8_t>(usInBandErrCode >> 8);
        conn.lRepLen = 6;
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
}

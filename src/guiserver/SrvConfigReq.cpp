#include "guiserver/SrvConfigReq.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/ServerLog.h"
#include "controller/CtlrChannel.h"
#include "controller/CtlrDiscovery.h"
#include "controller/CtlrHealth.h"
#include "controller/CtlrRescan.h"
#include "controller/CtlrTable.h"
#include "events/EventRecord.h"
#include "mail/MailConfig.h"
#include "mail/MailDispatch.h"
#include "protocol/SysStatus.h"

namespace {

// The most request bytes any code reads: code 1 with n = 255 (5 + 254) and codes 7 to 10 with
// n = 255 (4 + 255). They always lie in the request buffer, also for a large request (whose
// first GUI_INLINE_BUF_SIZE bytes the buffer holds too).
constexpr uint32_t CFG_MAX_REQ_READ = 4 + 255;
static_assert(CFG_MAX_REQ_READ <= GUI_INLINE_BUF_SIZE);

// The description of code 18 at most fills this many bytes of the reply, its NUL included.
constexpr size_t CFG_CTRL_INFO_TEXT_ROOM = CFG_CTRL_INFO_REPLY_SIZE - CFG_CTRL_INFO_TEXT_OFF;
// Characters of cIdent16 and cIdent112 that the description takes.
constexpr size_t CFG_IDENT_TEXT_CHARS = 16;

unsigned CodeForLog(int8_t code) {
    return static_cast<unsigned>(static_cast<int>(code));
}

// True when the body holds `need` bytes; otherwise logs why the request is refused.
bool HasReqBytes(const GuiConn& conn, int8_t code, uint32_t need) {
    if (conn.lReqLen >= need) return true;
    if (conn.lReqLen <= CFG_OFF_CODE) {
        // Not even the code arrived.
        SrvLog("HandleSrvConfigReq : no CFG Code, request too short: %u bytes, %u needed.\n",
               static_cast<unsigned>(conn.lReqLen), static_cast<unsigned>(need));
        return false;
    }
    SrvLog("HandleSrvConfigReq : CFG Code 0x%x, request too short: %u bytes, %u needed.\n",
           CodeForLog(code), static_cast<unsigned>(conn.lReqLen), static_cast<unsigned>(need));
    return false;
}

// The length of the text in the `n` bytes at `p`, which ends early at a NUL.
size_t TextLen(const uint8_t* p, size_t n) {
    size_t len = 0;
    while (len < n && p[len] != 0)
        ++len;
    return len;
}

// SYS_SUCCESS when the `len` characters at `p` can be stored in `maxChars` characters and read
// back from their file as they stand (one whitespace-free token); otherwise logs and refuses.
uint8_t CheckText(int8_t code, const uint8_t* p, size_t len, size_t maxChars) {
    if (len > maxChars) {
        SrvLog("HandleSrvConfigReq : CFG Code 0x%x, text of %u bytes too long, at most %u.\n",
               CodeForLog(code), static_cast<unsigned>(len), static_cast<unsigned>(maxChars));
        return SYSFAIL_CFG_TEXT_TOO_LONG;
    }
    for (size_t i = 0; i < len; ++i) {
        if (p[i] <= 0x20 || p[i] == 0x7F) {
            SrvLog(
                "HandleSrvConfigReq : CFG Code 0x%x, text holds a blank or control character "
                "(0x%02x).\n",
                CodeForLog(code), static_cast<unsigned>(p[i]));
            return SYSFAIL_CFG_TEXT_BAD_CHAR;
        }
    }
    return SYS_SUCCESS;
}

// Bytes 1 to 3 of every composed reply, and its length.
void ReplyHead(GuiConn& conn, uint32_t len) {
    conn.bLargeRep = 0;
    conn.cRepBuf[1] = conn.cReqBuf[REQ_OFF_TYPE];
    conn.cRepBuf[CFG_OFF_CODE] = conn.cReqBuf[CFG_OFF_CODE];
    conn.cRepBuf[CFG_OFF_STATUS] = SYS_SUCCESS;
    conn.lRepLen = len;
}

// The short reply of the changing codes.
uint8_t ShortReply(GuiConn& conn) {
    ReplyHead(conn, 4);
    return SYS_SUCCESS;
}

// Codes 0 and 1.
uint8_t ChangeMailAddr(GuiConn& conn, int8_t code) {
    const uint8_t* req = conn.cReqBuf;
    if (!HasReqBytes(conn, code, CFG_OFF_BYTE4 + 1)) return SYSFAIL_CFG_REQ_LENGTH_ERR;
    const uint8_t bIndex = req[CFG_OFF_BYTE4];
    uint8_t s;
    if (code == CFGCODE_CLEAR_MAIL_ADDR) {
        s = ClearMailAddr(bIndex);
        if (s != SYS_SUCCESS) {
            StdOutMsg("Err: CFGCODE_CLEAR_MAIL_ADDR, Status = 0x%x\n", s);
            return s;
        }
    } else {
        // n counts the address and the terminator the client does not send.
        const uint8_t n = req[CFG_OFF_BYTE3];
        if (n == 0) {
            SrvLog("HandleSrvConfigReq : CFG Code 0x%x, length byte 0x0 counts no terminator.\n",
                   CodeForLog(code));
            return SYSFAIL_CFG_REQ_LENGTH_ERR;
        }
        const uint32_t take = n - 1u;
        if (!HasReqBytes(conn, code, CFG_OFF_BYTE4 + 1 + take)) return SYSFAIL_CFG_REQ_LENGTH_ERR;
        const uint8_t* text = req + CFG_OFF_BYTE4 + 1;
        const size_t len = TextLen(text, take);
        s = SYS_SUCCESS;
        if (bIndex < MAX_MIS_SZ) s = CheckText(code, text, len, MAIL_ADDR_SIZE - 1);
        if (s == SYS_SUCCESS) s = UpdateMailAddr(bIndex, reinterpret_cast<const char*>(text), len);
        if (s != SYS_SUCCESS) {
            StdOutMsg("Err: CFGCODE_UPDATE_MAIL_ADDR, Status = 0x%x\n", s);
            return s;
        }
    }
    SaveMailAddrFile();
    return ShortReply(conn);
}

// Code 2.
uint8_t GetMailAddrReq(GuiConn& conn) {
    if (!HasReqBytes(conn, CFGCODE_GET_MAIL_ADDR, CFG_OFF_BYTE4 + 1))
        return SYSFAIL_CFG_REQ_LENGTH_ERR;
    const uint8_t bIndex = conn.cReqBuf[CFG_OFF_BYTE4];
    char addr[MAIL_ADDR_SIZE] = {};
    uint8_t s = GetMailAddr(bIndex, addr);
    if (s != SYS_SUCCESS) {
        SrvLog("CFGCODE_GET_MAIL_ADDR fail, Status = 0x%x\n", s);
        return s;
    }
    SrvLog("CFGCODE_GET_MAIL_ADDR success, Status = 0x%x\n", s);
    SrvLog("CFGCODE_GET_MAIL_ADDR : Index:0x%x, Addr:%s\n", bIndex, addr);
    const size_t len = TextLen(reinterpret_cast<const uint8_t*>(addr), MAIL_ADDR_SIZE - 1);
    ReplyHead(conn, static_cast<uint32_t>(len + 6));
    conn.cRepBuf[4] = bIndex;
    conn.cRepBuf[5] = static_cast<uint8_t>(len);
    std::memcpy(conn.cRepBuf + 6, addr, len);
    return SYS_SUCCESS;
}

// Code 3.
uint8_t GetCtlrCountReq(GuiConn& conn) {
    RescanCtlr();
    const uint8_t count = CountCtlr();
    ReplyHead(conn, 5);
    conn.cRepBuf[4] = count;
    SrvLog("CFGCODE_GET_CTRL_COUNT = 0x%x\n", count);
    return SYS_SUCCESS;
}

// Code 4.
uint8_t GetCtlrSNReq(GuiConn& conn) {
    if (!HasReqBytes(conn, CFGCODE_GET_CTRL_SN, CFG_OFF_BYTE4 + 1))
        return SYSFAIL_CFG_REQ_LENGTH_ERR;
    char sn[CTLR_SN_SIZE];
    if (!GetCtlrSN(conn.cReqBuf[CFG_OFF_BYTE4], sn)) return SYSFAIL_CTLR_INDEX_EMPTY;
    ReplyHead(conn, 4 + CTLR_SN_SIZE - 1);
    std::memcpy(conn.cRepBuf + 4, sn, CTLR_SN_SIZE - 1);
    return SYS_SUCCESS;
}

// Codes 5, 6, 11, 12 and 17.
uint8_t GetMailSrvReq(GuiConn& conn, uint8_t item) {
    char text[MAIL_SRV_TEXT_BUF];
    const size_t len = GetMailSrvItem(item, text, sizeof text);
    ReplyHead(conn, static_cast<uint32_t>(len + 5));
    conn.cRepBuf[4] = static_cast<uint8_t>(len);
    std::memcpy(conn.cRepBuf + 5, text, len);
    return SYS_SUCCESS;
}

// Codes 7 to 10 (the n bytes must fit the item's characters) and 16 (min(n, 64) bytes taken,
// the save cuts them to 63).
uint8_t SetMailSrvReq(GuiConn& conn, int8_t code, uint8_t item) {
    if (!HasReqBytes(conn, code, CFG_OFF_BYTE3 + 1)) return SYSFAIL_CFG_REQ_LENGTH_ERR;
    const size_t cap = MailSrvItemCapacity(item);
    const uint32_t n = conn.cReqBuf[CFG_OFF_BYTE3];
    const uint32_t take = code == CFGCODE_SET_MAILSRV_6 ? std::min<uint32_t>(n, cap) : n;
    if (!HasReqBytes(conn, code, CFG_OFF_BYTE4 + take)) return SYSFAIL_CFG_REQ_LENGTH_ERR;
    const uint8_t* text = conn.cReqBuf + CFG_OFF_BYTE4;
    const size_t len = TextLen(text, take);
    uint8_t s = CheckText(code, text, len, code == CFGCODE_SET_MAILSRV_6 ? cap : cap - 1);
    if (s != SYS_SUCCESS) return s;
    SetMailSrvItem(item, reinterpret_cast<const char*>(text), len);
    SaveMailSrvFile();
    return ShortReply(conn);
}

// Code 14.
uint8_t SetMailEnableReq(GuiConn& conn) {
    if (!HasReqBytes(conn, CFGCODE_SET_MAIL_ENABLE, CFG_OFF_BYTE4 + 1))
        return SYSFAIL_CFG_REQ_LENGTH_ERR;
    SetMailEnable(conn.cReqBuf[CFG_OFF_BYTE4] != 0);
    SaveMailSrvFile();
    return ShortReply(conn);
}

// Code 15. The reply is the same whether a controller matched or not. The controller's channel
// is held from the check to the release, so a rescan cannot give the number to another unit
// (whose history would then be released) in between.
uint8_t ClearCtlrEventsReq(GuiConn& conn) {
    const uint8_t* sn = conn.cReqBuf + CFG_OFF_BYTE3;
    if (!HasReqBytes(conn, CFGCODE_CLEAR_CTRL_EVENTS, CFG_OFF_BYTE3 + CTLR_SN_COMPARE))
        return SYSFAIL_CFG_REQ_LENGTH_ERR;
    const uint16_t found = FindCtlrBySN(sn);
    if (found < MAX_CTLR_NUM) {
        const uint8_t n = static_cast<uint8_t>(found);
        CtlrChannelHold hold(n);
        const CtlrEntry e = SnapshotCtlrEntry(n);
        if (e.bState == CTLR_STATUS_ALIVE && std::memcmp(e.cCtrlSN, sn, CTLR_SN_COMPARE) == 0) {
            FreeEventBinList(n);
            // The history file too: a cleared history never comes back with the next rescan
            // or restart (a failed rewrite leaves the old file, and is logged).
            if (!SaveEventBinFile(n))
                SrvLog("HandleSrvConfigReq : CFG Code 0xf, history file of %02d not emptied.\n",
                       static_cast<int>(n));
        }
    }
    return ShortReply(conn);
}

// The first `maxChars` characters of `field` (up to a NUL) into `out`, terminated.
template <size_t N>
void BoundedText(char (&out)[N], const char* field, size_t maxChars) {
    static_assert(N > 0);
    size_t len = TextLen(reinterpret_cast<const uint8_t*>(field), std::min(maxChars, N - 1));
    std::memcpy(out, field, len);
    out[len] = '\0';
}

// The reply to a request about controller n (byte 4) as for an absent one: `size` bytes of
// zeros after the head, n in byte 4. False when n can name no controller.
bool StartCtlrReply(GuiConn& conn, uint32_t size, uint8_t* n) {
    *n = conn.cReqBuf[CFG_OFF_BYTE4];
    std::memset(conn.cRepBuf, 0, size);
    ReplyHead(conn, size);
    conn.cRepBuf[4] = *n;
    return *n < MAX_CTLR_NUM;
}

// Code 18. The description is built from a copy of the entry taken after the refresh, with the
// texts bounded as they stand in the entry's fields (19 characters of cCtrlSN, 16 of cIdent16
// and of cIdent112), so the entry itself is not written. The channel is held from the state
// check to the copy, so the copy describes the unit that was refreshed.
uint8_t GetCtlrInfoReq(GuiConn& conn) {
    if (!HasReqBytes(conn, CFGCODE_GET_CTRL_INFO, CFG_OFF_BYTE4 + 1))
        return SYSFAIL_CFG_REQ_LENGTH_ERR;
    uint8_t n = 0;
    if (!StartCtlrReply(conn, CFG_CTRL_INFO_REPLY_SIZE, &n)) return SYS_SUCCESS;

    CtlrChannelHold hold(n);
    if (SnapshotCtlrEntry(n).bState != CTLR_STATUS_ALIVE) return SYS_SUCCESS;
    RefreshCtlrEntry(n);
    const CtlrEntry e = SnapshotCtlrEntry(n);
    if (e.bState != CTLR_STATUS_ALIVE) return SYS_SUCCESS;  // cleared meanwhile: absent
    conn.cRepBuf[5] = 1;

    char sn[CTLR_SN_SIZE], ident16[CTLR_IDENT_TEXT_SIZE], ident112[CTLR_IDENT_TEXT_SIZE];
    BoundedText(sn, e.cCtrlSN, CTLR_SN_SIZE - 1);
    BoundedText(ident16, e.cIdent16, CFG_IDENT_TEXT_CHARS);
    BoundedText(ident112, e.cIdent112, CFG_IDENT_TEXT_CHARS);
    char id95[8];
    if (e.bIdent95 == 255)
        std::snprintf(id95, sizeof id95, "-1");
    else
        std::snprintf(id95, sizeof id95, "%u", static_cast<unsigned>(e.bIdent95));
    // At most 100 characters (a two-digit number, full-length fields, three-digit values).
    char text[128];
    int len =
        std::snprintf(text, sizeof text, "Server:%u@1%s@2LocalHost@3%s@4%u@5%s@6%s@7%xGuiSrvEnd",
                      static_cast<unsigned>(n), sn, id95, static_cast<unsigned>(e.bIdent107),
                      ident16, ident112, static_cast<unsigned>(e.bPage20Byte));
    static_assert(CFG_CTRL_INFO_TEXT_ROOM > 100);
    const size_t keep =
        std::min<size_t>(len > 0 ? static_cast<size_t>(len) : 0, CFG_CTRL_INFO_TEXT_ROOM - 1);
    std::memcpy(conn.cRepBuf + CFG_CTRL_INFO_TEXT_OFF, text, keep);  // the NUL is there already
    return SYS_SUCCESS;
}

// Code 0x40: a test mail to every recipient; the reply tells each one's outcome.
uint8_t SendTestMailReq(GuiConn& conn) {
    std::vector<MailRecipientOutcome> outcomes;
    const uint8_t s = SendTestMail(CFG_TEST_MAIL_WAIT_S, &outcomes);
    if (s != SYS_SUCCESS) {
        SrvLog("HandleSrvConfigReq : CFG Code 0x%x, test mail refused, bStatus 0x%x.\n",
               CodeForLog(CFGCODE_SEND_TEST_MAIL), s);
        return s;
    }
    uint8_t* rep = conn.cRepBuf;
    uint32_t len = 5;
    uint8_t count = 0;
    auto put = [&](const std::string& text, size_t max) {
        const size_t n = std::min(
            {text.size(), max, size_t{255}, static_cast<size_t>(GUI_INLINE_BUF_SIZE - len - 1)});
        rep[len++] = static_cast<uint8_t>(n);
        std::memcpy(rep + len, text.data(), n);
        len += static_cast<uint32_t>(n);
    };
    for (const MailRecipientOutcome& o : outcomes) {
        // Room for the fixed part and the whole address, reason and some detail.
        const size_t need = 4 + o.address.size() + o.reason.size();
        if (len + need + 1 > GUI_INLINE_BUF_SIZE || count == 255) break;
        rep[len++] = o.sent ? 1 : 0;
        put(o.address, MAIL_ADDR_SIZE - 1);
        put(o.reason, 32);
        put(o.detail, CFG_TEST_MAIL_DETAIL_MAX);
        ++count;
    }
    ReplyHead(conn, len);
    rep[4] = count;
    return SYS_SUCCESS;
}

// Code 0x41: a controller's role and relay health, from the table and the relay's counts.
uint8_t GetCtlrStatusReq(GuiConn& conn) {
    if (!HasReqBytes(conn, CFGCODE_GET_CTRL_STATUS, CFG_OFF_BYTE4 + 1))
        return SYSFAIL_CFG_REQ_LENGTH_ERR;
    uint8_t n = 0;
    if (!StartCtlrReply(conn, CFG_CTRL_STATUS_REPLY_SIZE, &n)) return SYS_SUCCESS;
    const CtlrEntry e = SnapshotCtlrEntry(n);
    if (e.bState != CTLR_STATUS_ALIVE) return SYS_SUCCESS;
    conn.cRepBuf[5] = 1;
    conn.cRepBuf[6] = e.bUnitMark;
    const int failures = CtlrRelayFailures(n, reinterpret_cast<const uint8_t*>(e.cCtrlSN));
    conn.cRepBuf[7] = static_cast<uint8_t>(std::clamp(failures, 0, 255));
    return SYS_SUCCESS;
}

}  // namespace

uint8_t HandleSrvConfigReq(GuiConn& conn) {
    // The code byte is read only once the body is known to hold it (HasReqBytes names no code
    // when it is missing).
    if (!HasReqBytes(conn, 0, CFG_OFF_CODE + 1)) return SYSFAIL_CFG_REQ_LENGTH_ERR;
    const int8_t code = static_cast<int8_t>(conn.cReqBuf[CFG_OFF_CODE]);
    switch (code) {
        case CFGCODE_CLEAR_MAIL_ADDR:
        case CFGCODE_UPDATE_MAIL_ADDR:
            return ChangeMailAddr(conn, code);
        case CFGCODE_GET_MAIL_ADDR:
            return GetMailAddrReq(conn);
        case CFGCODE_GET_CTRL_COUNT:
            return GetCtlrCountReq(conn);
        case CFGCODE_GET_CTRL_SN:
            return GetCtlrSNReq(conn);
        case CFGCODE_GET_MAILSRV_1:
            return GetMailSrvReq(conn, MAIL_SRV_ITEM1);
        case CFGCODE_GET_MAILSRV_2:
            return GetMailSrvReq(conn, MAIL_SRV_ITEM2);
        case CFGCODE_SET_MAILSRV_1:
            return SetMailSrvReq(conn, code, MAIL_SRV_ITEM1);
        case CFGCODE_SET_MAILSRV_2:
            return SetMailSrvReq(conn, code, MAIL_SRV_ITEM2);
        case CFGCODE_SET_MAILSRV_3:
            return SetMailSrvReq(conn, code, MAIL_SRV_ITEM3);
        case CFGCODE_SET_MAILSRV_4:
            return SetMailSrvReq(conn, code, MAIL_SRV_ITEM4);
        case CFGCODE_GET_MAILSRV_3:
            return GetMailSrvReq(conn, MAIL_SRV_ITEM3);
        case CFGCODE_GET_MAILSRV_4:
            return GetMailSrvReq(conn, MAIL_SRV_ITEM4);
        case CFGCODE_GET_MAIL_ENABLE:
            ReplyHead(conn, 5);
            conn.cRepBuf[4] = IsMailEnabled();
            return SYS_SUCCESS;
        case CFGCODE_SET_MAIL_ENABLE:
            return SetMailEnableReq(conn);
        case CFGCODE_CLEAR_CTRL_EVENTS:
            return ClearCtlrEventsReq(conn);
        case CFGCODE_SET_MAILSRV_6:
            return SetMailSrvReq(conn, code, MAIL_SRV_ITEM6);
        case CFGCODE_GET_MAILSRV_6:
            return GetMailSrvReq(conn, MAIL_SRV_ITEM6);
        case CFGCODE_GET_CTRL_INFO:
            return GetCtlrInfoReq(conn);
        case CFGCODE_SEND_TEST_MAIL:
            return SendTestMailReq(conn);
        case CFGCODE_GET_CTRL_STATUS:
            return GetCtlrStatusReq(conn);
        default:
            StdOutMsg("Server CFG Code = 0x%x\n", CodeForLog(code));
            return SYSFAIL_CFGCODE_UNKNOWN;
    }
}

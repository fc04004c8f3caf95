#include "guiserver/EventReq.h"

#include <cstdlib>
#include <cstring>

#include "base/ServerLog.h"
#include "events/EventPolling.h"
#include "events/EventRecord.h"
#include "protocol/ByteOrder.h"
#include "protocol/SysStatus.h"

namespace {

// The sub-type as the log lines print it: widened as a signed 8-bit value.
unsigned SubTypeForLog(int8_t t) {
    return static_cast<unsigned>(static_cast<int>(t));
}

uint8_t ComposeOneEvent(GuiConn& conn, uint8_t n, int8_t t) {
    CtlrEventRec rec;
    std::memset(&rec, 0, sizeof rec);
    const uint8_t s = Remove_InBand_Event(n, rec);
    if (s != SYS_SUCCESS) {
        SrvLog("HandleInBandEventReq : Ctrl(%d), Type(%x) Remove_InBand_Event fail : %x.\n", n,
               SubTypeForLog(t), s);
        return SYSFAIL_EVENT_REQ_FAIL;
    }
    uint8_t* rep = conn.cRepBuf;
    conn.bLargeRep = 0;
    conn.lRepLen = EVENT_ONE_REPLY_SIZE;
    std::memset(rep, 0, EVENT_ONE_REPLY_SIZE);
    rep[1] = conn.cReqBuf[REQ_OFF_TYPE];
    rep[2] = conn.cReqBuf[REQ_OFF_SN];
    rep[3] = SYS_SUCCESS;
    if (rec.bValid == 1) {
        rep[4] = SYS_SUCCESS;
        std::memcpy(rep + 5, &rec.event, EVENT_REC_SIZE);
    } else {
        rep[4] = SYSFAIL_EVENT_EMPTY;
    }
    return SYS_SUCCESS;
}

uint8_t ComposeEventList(GuiConn& conn, uint8_t n, int8_t t) {
    uint8_t* rep = conn.cLargeRepBuf;
    // The header and each entry are zeroed before they are written: together exactly the
    // 9 + 70 x c bytes the reply covers, nothing of the buffer beyond them.
    const uint32_t c = VisitEventBinLines(
        n, EVENT_BIN_LIST_MAX, [rep](uint32_t i, const char(&text)[EVENT_BIN_LINE_MAX]) {
            uint8_t* entry = rep + EVENT_LIST_HEADER_SIZE + EVENT_LIST_ENTRY_SIZE * i;
            std::memset(entry, 0, EVENT_LIST_ENTRY_SIZE);
            ComposeEventListEntry(text, entry);
        });
    std::memset(rep, 0, EVENT_LIST_HEADER_SIZE);
    conn.bLargeRep = 1;
    conn.lRepLen = EVENT_LIST_HEADER_SIZE + EVENT_LIST_ENTRY_SIZE * c;
    rep[1] = conn.cReqBuf[REQ_OFF_TYPE];
    rep[2] = conn.cReqBuf[REQ_OFF_SN];
    rep[3] = SYS_SUCCESS;
    PutLe32(rep + 5, c);
    if (c == 0) {
        rep[4] = SYSFAIL_EVENT_EMPTY;
        SrvLog("HandleInBandEventReq : Ctrl(%d), Type(%x) SYSFAIL_EVENT_EMPTY.\n", n,
               SubTypeForLog(t));
        return SYS_SUCCESS;
    }
    rep[4] = SYS_SUCCESS;
    return SYS_SUCCESS;
}

}  // namespace

uint8_t HandleInBandEventReq(GuiConn& conn, uint8_t ctlrNo) {
    const int8_t t = static_cast<int8_t>(conn.cReqBuf[EVENT_REQ_OFF_SUBTYPE]);
    switch (t) {
        case EVENT_REQ_ONE:
            return ComposeOneEvent(conn, ctlrNo, t);
        case EVENT_REQ_LIST:
            return ComposeEventList(conn, ctlrNo, t);
        default:
            SrvLog("HandleInBandEventReq : Ctrl(%d), Type(%x) INVALID.\n", ctlrNo,
                   SubTypeForLog(t));
            return SYSFAIL_EVENT_REQ_FAIL;
    }
}

void ComposeEventListEntry(const char (&text)[EVENT_BIN_LINE_MAX], uint8_t* entry) {
    std::memcpy(entry, text, EVENT_LIST_PREFIX_LEN);
    // Where the hex digits start: after the serial part's backslash, the line's last one.
    size_t hexPos = EVENT_BIN_HEX_POS;
    const void* nul = std::memchr(text, '\0', sizeof text);
    const size_t len =
        nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - text) : sizeof text;
    for (size_t k = len; k > 0; --k)
        if (text[k - 1] == '\\') {
            hexPos = k;
            break;
        }
    auto at = [&text](size_t k) { return k < sizeof text ? text[k] : '\0'; };
    for (size_t j = 0; j < EVENT_LIST_EVENT_BYTES; ++j) {
        const char pair[3] = {at(hexPos + 2 * j), at(hexPos + 2 * j + 1), '\0'};
        const long v = std::strtol(pair, nullptr, 16);
        entry[EVENT_LIST_PREFIX_LEN + j] = static_cast<uint8_t>(static_cast<unsigned long>(v));
    }
    std::memcpy(entry + EVENT_LIST_PREFIX_LEN + EVENT_LIST_EVENT_BYTES, EVENT_LIST_FILL,
                sizeof EVENT_LIST_FILL);
}

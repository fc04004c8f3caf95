// The in-band relay (HandleInBandReq and its package path HandleInBandPkgReq,
// src/guiserver/InBandReq.h) on a connection record filled directly with the input as the
// request body, the large-request block holding bodies of 2048 bytes or more as the frame
// transfer leaves them. The controller is the one the request's serial names, else number
// (body byte 0) mod 16; the commands reach AgentFixture's fake driver.
//
// Checks, from the contract: the status is one of those documented; a guard's refusal sends
// nothing to the controller; a relayed reply fits the reply buffer; after a package command the
// large-request block is released.
#include <cstring>
#include <memory>

#include "controller/CtlrTable.h"
#include "guiserver/GuiConn.h"
#include "guiserver/InBandReq.h"
#include "protocol/DeviceCodes.h"
#include "protocol/SysStatus.h"
#include "support/AgentFixture.h"
#include "support/FuzzSupport.h"

namespace {

bool Documented(uint8_t s) {
    return s == SYS_SUCCESS || s == SYSFAIL_INBAND_NOT_ALIVE || s == SYSFAIL_INBAND_CMD_FAIL ||
           s == SYSFAIL_INBAND_BAD_PKG || s == SYSFAIL_INBAND_BAD_REQ;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::AgentFixture& fixture = fuzz::AgentFixture::Get();
    fixture.Reset();

    auto conn = fuzz::ReceivedRequest(data, size);
    uint16_t found = FindCtlrBySN(conn->cReqBuf + REQ_OFF_SN);
    const uint8_t ctlrNo =
        found != CTLR_INDEX_NONE ? static_cast<uint8_t>(found) : (size > 0 ? data[0] % 16 : 0);
    const uint8_t code = size > REQ_OFF_DATA ? data[REQ_OFF_DATA] : 0;
    const bool package =
        size > REQ_OFF_DATA &&
        (code == INBAND_CMD_PKG_148 || code == INBAND_CMD_PKG_149 || code == INBAND_CMD_PKG_150);

    const uint64_t callsBefore = fixture.DeviceCalls();
    uint16_t errCode = 0;
    const uint8_t s = HandleInBandReq(*conn, ctlrNo, &errCode);

    FUZZ_CHECK(Documented(s));
    if (s == SYSFAIL_INBAND_BAD_REQ || s == SYSFAIL_INBAND_BAD_PKG)
        FUZZ_CHECK(fixture.DeviceCalls() == callsBefore);
    if (package) {
        FUZZ_CHECK(!conn->pLargeReq.Held());
        FUZZ_CHECK(conn->bLargeReq == 0);
    }
    if (s == SYS_SUCCESS) {
        FUZZ_CHECK(conn->bLargeRep == 0);
        FUZZ_CHECK(conn->lRepLen >= REP_OFF_ANSWER && conn->lRepLen <= GUI_INLINE_BUF_SIZE);
    }
    return 0;
}

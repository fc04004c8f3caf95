// Configuration requests (HandleSrvConfigReq, src/guiserver/SrvConfigReq.h) on a connection
// record filled directly with the input as the request body, against AgentFixture's controllers
// and mail settings.
//
// Checks, from the handler's contract: no request byte at or past the body's length is read (the
// rest of the request buffer is poisoned for AddressSanitizer); the status is one of those
// documented; a refused request leaves the reply untouched; a composed reply fits the reply
// buffer and echoes bytes 1 and 2 of the request with the status SYS_SUCCESS.
#include <sanitizer/asan_interface.h>

#include <cstring>
#include <memory>

#include "guiserver/GuiConn.h"
#include "guiserver/SrvConfigReq.h"
#include "protocol/SysStatus.h"
#include "support/AgentFixture.h"
#include "support/FuzzSupport.h"

namespace {

bool Documented(uint8_t s) {
    switch (s) {
        case SYS_SUCCESS:
        case SYSFAIL_CFGCODE_UNKNOWN:
        case SYSFAIL_CTLR_INDEX_EMPTY:
        case SYSFAIL_MAIL_INDEX_ERR:
        case SYSFAIL_CFG_TEXT_TOO_LONG:
        case SYSFAIL_CFG_REQ_LENGTH_ERR:
        case SYSFAIL_CFG_TEXT_BAD_CHAR:
        case SYSFAIL_MAIL_TEST_BUSY:
        case SYSFAIL_MAIL_TEST_FAIL:
            return true;
        default:
            return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (fuzz::SendsTestMail(data, size)) return 0;
    fuzz::AgentFixture::Get().Reset();

    auto conn = fuzz::ReceivedRequest(data, size);
    // A reply that is not composed keeps these bytes.
    std::memset(conn->cRepBuf, 0xA5, sizeof conn->cRepBuf);
    conn->lRepLen = 0xA5A5A5A5u;

    const size_t unread = size < GUI_INLINE_BUF_SIZE ? GUI_INLINE_BUF_SIZE - size : 0;
    ASAN_POISON_MEMORY_REGION(conn->cReqBuf + (GUI_INLINE_BUF_SIZE - unread), unread);
    const uint8_t s = HandleSrvConfigReq(*conn);
    ASAN_UNPOISON_MEMORY_REGION(conn->cReqBuf + (GUI_INLINE_BUF_SIZE - unread), unread);

    FUZZ_CHECK(Documented(s));
    if (s != SYS_SUCCESS) {
        FUZZ_CHECK(conn->lRepLen == 0xA5A5A5A5u);
        for (uint8_t b : conn->cRepBuf)
            FUZZ_CHECK(b == 0xA5);
        return 0;
    }
    FUZZ_CHECK(conn->bLargeRep == 0);
    FUZZ_CHECK(conn->lRepLen >= 4 && conn->lRepLen <= GUI_INLINE_BUF_SIZE);
    FUZZ_CHECK(conn->cRepBuf[1] == conn->cReqBuf[REQ_OFF_TYPE]);
    FUZZ_CHECK(conn->cRepBuf[CFG_OFF_CODE] == conn->cReqBuf[CFG_OFF_CODE]);
    FUZZ_CHECK(conn->cRepBuf[CFG_OFF_STATUS] == SYS_SUCCESS);
    return 0;
}

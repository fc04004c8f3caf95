// The agent set up in process for the fuzz targets of its GUI server: ServerDir in a temporary
// folder (its log going to /dev/null), the subsystems connected as the program connects them, a
// fake controller driver (FuzzDevice) and a controller table, mail settings, a recorded event
// history and queued events that every run starts from.
//
// The controller table at the start of every run:
//   0  FUZZ-SN-00000001  port 0, primary unit      (answers through the fake driver)
//   1  FUZZ-SN-00000002  port 0, secondary unit 1  (answers through the fake driver)
//   2  FUZZ-SN-NODEVICE  port 5                    (no such device: the open fails)
//   3  (empty serial)    no device path
// Controller 0 has three recorded history lines and two queued events.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "guiserver/GuiConn.h"
#include "protocol/ConfigCodes.h"
#include "support/FuzzSupport.h"

namespace fuzz {

constexpr const char* kSerial0 = "FUZZ-SN-00000001";
constexpr const char* kSerial1 = "FUZZ-SN-00000002";
constexpr const char* kSerial2 = "FUZZ-SN-NODEVICE";

class AgentFixture {
  public:
    // The fixture, set up by the first call. Kept for the life of the process.
    static AgentFixture& Get();

    // Puts the controller table, the mail settings, the history and the queue of controller 0
    // back as they were at the start. Quick: no file is read or written.
    void Reset();

    // Calls the fake driver has answered so far.
    uint64_t DeviceCalls() const;

    const std::string& dir() const { return dir_; }

  private:
    AgentFixture();
    std::string dir_;
};

// True when the configuration handler, given this request body, would send the test mail (code
// 0x40; the handler does not look at the type byte). It reads no request byte beyond its code;
// it runs the mailer script and waits for it, which is no parser's business: the targets leave
// such input out.
inline bool SendsTestMail(const uint8_t* body, size_t size) {
    return size > CFG_OFF_CODE && static_cast<int8_t>(body[CFG_OFF_CODE]) == CFGCODE_SEND_TEST_MAIL;
}

// A connection record holding `data` as one received request body, as the frame transfer
// leaves it: the first GUI_INLINE_BUF_SIZE bytes in the buffer, and a body of that size or more
// whole in the large-request block.
inline std::unique_ptr<GuiConn> ReceivedRequest(const uint8_t* data, size_t size) {
    auto conn = std::make_unique<GuiConn>();
    conn->flg_trans = GUI_DIR_RECV;
    conn->lReqLen = static_cast<uint32_t>(size);
    std::memcpy(conn->cReqBuf, data, std::min<size_t>(size, GUI_INLINE_BUF_SIZE));
    if (size >= GUI_INLINE_BUF_SIZE) {
        conn->bLargeReq = 1;
        FUZZ_CHECK(conn->pLargeReq.Resize(size));
        std::memcpy(conn->pLargeReq.Data(), data, size);
    }
    return conn;
}

}  // namespace fuzz

// Helpers of the polling and event request tests: a temporary ServerDir and current directory,
// controller entries set by hand, mail off, requests composed in a GuiConn.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "controller/CtlrTable.h"
#include "controller/CtlrTestUtil.h"
#include "events/EventPolling.h"
#include "events/EventRecord.h"
#include "guiserver/EventReq.h"
#include "support/FakeDevice.h"
#include "support/TestSupport.h"

namespace event_test {

using Event = std::array<uint8_t, EVENT_REC_SIZE>;

inline bool MailOff() {
    return false;
}
inline void NoMail(const RecordedEvent&, const char*) {}
inline const EventMailCalls kNoMail{&MailOff, &NoMail};

// Entry n alive on port `port` ("\\.\ScsiP: ") with serial `sn` and unit marker `mark`.
inline void SetEntry(uint8_t n, int port, const char* sn, uint8_t mark = 0) {
    char devName[CTLR_DEVNAME_SIZE];
    std::snprintf(devName, sizeof devName, "\\\\.\\Scsi%d: ", port);
    ctlr_test::SetEntry(n, devName, sn, mark);
}

// An event numbered i: a LUN change whose bytes 2 to 5 hold i, byte 31 i's low byte.
inline Event Numbered(uint32_t i) {
    Event e{};
    e[0] = 20;
    e[2] = static_cast<uint8_t>(i);
    e[3] = static_cast<uint8_t>(i >> 8);
    e[4] = static_cast<uint8_t>(i >> 16);
    e[5] = static_cast<uint8_t>(i >> 24);
    e[31] = static_cast<uint8_t>(i);
    return e;
}
inline uint32_t NumberOf(const uint8_t* e) {
    return static_cast<uint32_t>(e[2]) | static_cast<uint32_t>(e[3]) << 8 |
           static_cast<uint32_t>(e[4]) << 16 | static_cast<uint32_t>(e[5]) << 24;
}
inline CtlrEvent ToCtlrEvent(const Event& e) {
    CtlrEvent c;
    std::memcpy(&c, e.data(), EVENT_REC_SIZE);
    return c;
}

// A connection record holding a type-3 request for serial `sn` with sub-type `t`; the reply
// buffers are filled with 0xEE so that tests see which bytes a handler wrote.
inline std::unique_ptr<GuiConn> EventRequest(const char* sn, int8_t t) {
    auto conn = std::make_unique<GuiConn>();
    conn->cReqBuf[0] = 0x02;
    conn->cReqBuf[REQ_OFF_TYPE] = static_cast<uint8_t>(REQ_GET_INBAND_EVENT);
    std::memcpy(conn->cReqBuf + REQ_OFF_SN, sn, std::min<size_t>(std::strlen(sn), 16));
    conn->cReqBuf[EVENT_REQ_OFF_SUBTYPE] = static_cast<uint8_t>(t);
    conn->lReqLen = REQ_OFF_DATA + 1;
    std::memset(conn->cRepBuf, 0xEE, sizeof conn->cRepBuf);
    std::memset(conn->cLargeRepBuf, 0xEE, sizeof conn->cLargeRepBuf);
    return conn;
}

using testing_support::SplitLines;

// A fake driver whose ports hand out the events queued for them, one per fetch.
class EventDriver {
  public:
    explicit EventDriver(const std::string& root) : dev_(root) {
        dev_.SetHandler([this](const testing_support::DevCall& c) { return Answer(c); });
    }
    void Queue(int port, const Event& e) {
        std::lock_guard<std::mutex> lock(mu_);
        if (events_.count(port) == 0) dev_.AddPort(port);
        events_[port].push_back(e);
    }
    void AddPort(int port) {
        std::lock_guard<std::mutex> lock(mu_);
        events_[port];
        dev_.AddPort(port);
    }
    // Called (on the driver's thread) for every request before it is answered.
    void OnCall(std::function<void(const testing_support::DevCall&)> f) {
        std::lock_guard<std::mutex> lock(mu_);
        onCall_ = std::move(f);
    }
    testing_support::FakeDevice& device() { return dev_; }

  private:
    testing_support::DevAnswer Answer(const testing_support::DevCall& c) {
        std::function<void(const testing_support::DevCall&)> f;
        {
            std::lock_guard<std::mutex> lock(mu_);
            f = onCall_;
        }
        if (f) f(c);
        std::lock_guard<std::mutex> lock(mu_);
        testing_support::DevAnswer a;
        auto& q = events_[c.port];
        if (!q.empty()) {
            a.returnCode = 1;
            a.data.assign(q.front().begin(), q.front().end());
            q.pop_front();
        }
        return a;
    }

    std::mutex mu_;
    std::map<int, std::deque<Event>> events_;
    std::function<void(const testing_support::DevCall&)> onCall_;
    testing_support::FakeDevice dev_;
};

// A temporary ServerDir (the fake driver's root) and current directory, the table empty, mail
// off, the queue pools filled. Each test case runs in its own process, so the queues and lists
// start empty.
class EventPollFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        oldCwd_ = std::filesystem::current_path();
        std::filesystem::current_path(cwd_.path());
        for (uint8_t n = 0; n < CTLR_TABLE_SLOTS; ++n)
            ZeroCtlrEntry(n);
        SetEventMailCalls(&kNoMail);
        InitEventQueues();
    }
    void TearDown() override {
        for (uint8_t n = 0; n < CTLR_TABLE_SLOTS; ++n)
            ZeroCtlrEntry(n);
        SetEventMailCalls(nullptr);
        std::filesystem::current_path(oldCwd_);
    }
    std::string Cwd(const std::string& name) const { return cwd_.File(name); }

    testing_support::ServerDirScope server_;
    testing_support::TempDir cwd_;
    std::filesystem::path oldCwd_;
};

}  // namespace event_test

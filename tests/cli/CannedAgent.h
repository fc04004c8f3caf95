// A stand-in agent for pellomar-cli's tests: answers every request on loopback as the test says.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Socket.h"
#include "support/TestSupport.h"

namespace testing_support {

// A stand-in agent: accepts connections on 127.0.0.1 (a free port), reads one framed request
// from each and sends the framed reply `answer` gives (no reply for an empty one), then closes.
class CannedAgent {
  public:
    explicit CannedAgent(std::function<gui::Bytes(const gui::Bytes&)> answer)
        : answer_(std::move(answer)) {
        char err[128];
        listen_ = plat::SockTcpListen(0x7F000001, 0, 16, err, sizeof err);
        EXPECT_NE(listen_, plat::kInvalidSock) << err;
        port_ = plat::SockLocalPort(listen_);
        thread_ = std::thread([this] { Serve(); });
    }
    ~CannedAgent() {
        stop_ = true;
        char err[128];
        plat::SockClose(plat::SockTcpConnect("127.0.0.1", port_, 2000, err, sizeof err));
        thread_.join();
        plat::SockClose(listen_);
    }
    uint16_t port() const { return port_; }
    std::vector<gui::Bytes> Requests() {
        std::lock_guard<std::mutex> lock(mu_);
        return requests_;
    }

  private:
    static bool RecvAll(plat::SockFd s, uint8_t* p, size_t n) {
        while (n > 0) {
            int got = plat::SockRecvTimeout(s, p, static_cast<int>(n), 5000);
            if (got <= 0) return false;
            p += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }
    void Serve() {
        for (int served = 0; served < 1000; ++served) {
            plat::SockFd s = plat::SockAccept(listen_);
            if (stop_) {
                plat::SockClose(s);
                return;
            }
            if (s == plat::kInvalidSock) continue;
            uint8_t head[5];
            if (RecvAll(s, head, 5)) {
                gui::Bytes body(GetLe32(head + 1));
                if (body.size() < 4096 && RecvAll(s, body.data(), body.size())) {
                    {
                        std::lock_guard<std::mutex> lock(mu_);
                        requests_.push_back(body);
                    }
                    gui::Bytes reply = answer_(body);
                    if (!reply.empty()) SendAll(s, gui::Frame(reply));
                }
            }
            plat::SockClose(s);
        }
    }
    static uint32_t GetLe32(const uint8_t* p) {
        return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
               static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    }

    std::function<gui::Bytes(const gui::Bytes&)> answer_;
    plat::SockFd listen_ = plat::kInvalidSock;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mu_;
    std::vector<gui::Bytes> requests_;
};

}  // namespace testing_support

// A controller driver for the fuzz targets: it serves the device sockets <root>/dev/ScsiN of the
// device transport (src/platform/DevChannel.h, doc/device-transport.md) on one thread of its
// own, one call after the other, with a small firmware of fixed answers:
//
//   identify (in-band command 1): page 0 the unit's identify block, page 20 its page-20 byte,
//                                 other pages refused (ReturnCode 0x00100001)
//   in-band command 0xEE          refused (ReturnCode 0x00420001)
//   in-band command 0xEF          DeviceIoControl fails (result EIO)
//   in-band command 0xED          the connection closes without an answer
//   any other in-band command     accepted: the block comes back as it came, answer bytes zero
//   event fetch                   one event for every second fetch
//
// A call for a unit that is not there fails with ENODEV, a malformed request with EINVAL.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>

namespace fuzz {

class FuzzDevice {
  public:
    // Serves no port yet; creates <root>/dev.
    explicit FuzzDevice(const std::string& root);
    ~FuzzDevice();
    FuzzDevice(const FuzzDevice&) = delete;
    FuzzDevice& operator=(const FuzzDevice&) = delete;

    // Unit `unit` (0 to 3) behind port `port`, answering identify with `serial`. The port's
    // socket is created with its first unit. Call before Start.
    void AddUnit(int port, int unit, const std::string& serial);

    // Starts answering calls on the ports added.
    void Start();

    // The calls answered so far (whatever the answer).
    uint64_t Calls() const { return calls_.load(); }

  private:
    struct Unit {
        uint8_t ident[512] = {};
        uint8_t page20 = 0;
        uint32_t fetches = 0;
    };
    void Loop();
    void Serve(int fd, int port);
    Unit* Find(int port, int unit);

    std::string dir_;
    std::map<int, int> listeners_;  // port -> listening socket
    std::map<int, std::map<int, Unit>> units_;
    std::atomic<uint64_t> calls_{0};
    std::atomic<bool> stop_{false};
    int wake_[2] = {-1, -1};
    std::unique_ptr<uint8_t[]> block_;
    std::thread thread_;
};

}  // namespace fuzz

// An in-process fake of the SCSI port driver for tests: it serves the device sockets
// <root>/dev/ScsiN of the transport in src/platform/DevChannel.h, records every request exactly
// as it arrived and answers with whatever the test's handler returns (including broken answers).
// FakeControllers puts a small firmware behind it: units that answer the identify command and
// hand out queued events, so that discovery, rescan and relay can run against it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// One request as the fake driver received it.
struct DevCall {
    int port = 0;
    uint32_t ioctl = 0;          // transport prefix: the ioctl code
    uint32_t blockSize = 0;      // transport prefix: the block size
    uint32_t n = 0;              // transport prefix: bytes of the block that followed
    std::vector<uint8_t> block;  // those n bytes

    // u32le at `off` of the block (0 past what was sent: those bytes are zero by definition).
    uint32_t Field(uint32_t off) const;
    uint32_t ControlCode() const { return Field(16); }
    uint32_t Length() const { return Field(24); }
    // Byte i of the data area (0 past what was sent).
    uint8_t Data(size_t i) const { return 28 + i < block.size() ? block[28 + i] : 0; }
    std::vector<uint8_t> DataBytes(size_t from, size_t count) const;
};

// What the fake driver answers.
struct DevAnswer {
    enum class Mode {
        Normal,       // result, n2 and the answer block as below
        NoReply,      // close without a byte
        ShortHeader,  // 5 bytes of the 8-byte reply header, then close
        ShortBody,    // the header announcing n2, then fewer bytes, then close
        Hang,         // never answer (until the caller gives up and closes)
    };
    Mode mode = Mode::Normal;
    uint32_t result = 0;         // 0: DeviceIoControl succeeds
    uint32_t returnCode = 0;     // the block's ReturnCode
    std::vector<uint8_t> data;   // answer bytes from the start of the data area
    std::optional<uint32_t> n2;  // default: 28 + data.size() (0 when result != 0)
    int delayMs = 0;             // wait before answering
};

using DevHandler = std::function<DevAnswer(const DevCall&)>;

class FakeDevice {
  public:
    // Serves <root>/dev/ScsiN for the ports added; creates <root>/dev.
    explicit FakeDevice(std::string root);
    ~FakeDevice();
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    void AddPort(int port);
    void RemovePort(int port);  // the socket file goes too: opening fails with ENOENT
    void SetHandler(DevHandler h);

    std::vector<DevCall> Calls() const;
    size_t CallCount() const;
    void ClearCalls();
    // The most requests of one port that were being answered at the same time.
    int MaxInFlight(int port) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A unit behind a fake port.
struct FakeUnit {
    std::array<uint8_t, 512> ident{};
    uint8_t page20 = 0;
    bool identifyFails = false;  // identify page 0 answers ReturnCode 0x00100001
    bool page20Fails = false;    // page 20 answers ReturnCode 0x00140001
    std::deque<std::array<uint8_t, 32>> events;
};

// An identify block: `signature` at 0 (7 bytes), `serial` at 352 (19 bytes, NUL-padded),
// `fallback` at 32 (16 bytes), Vendor Type at 265, and recognisable bytes for the copied fields
// (16..31 "MODEL-TEXT-16...", 80/81 0x12 0x34, 95 0x5F, 107 0x6B, 112..127 "FIRMWARE-TEXT...").
std::array<uint8_t, 512> MakeIdent(const std::string& serial,
                                   const std::string& signature = "KELDRAN", uint8_t vendorType = 0,
                                   const std::string& fallback = "FALLBACK-SERIAL1");

// Controllers behind a FakeDevice: identify (command 1, pages 0 and 20), event fetches, other
// in-band commands answered ReturnCode 0 with no data unless the command hook answers them. A
// request for a unit that is not there fails DeviceIoControl with ENODEV (19).
class FakeControllers {
  public:
    explicit FakeControllers(std::string root);
    FakeUnit& Add(int port, int unit, const std::string& serial);
    void Remove(int port, int unit);
    void RemovePort(int port);
    // Answers in-band commands other than identify (or overrides any, when it returns a value).
    void SetCommandHook(std::function<std::optional<DevAnswer>(const DevCall&, int unit)> hook);
    // Every answer waits this long first (0: none).
    void SetDelayMs(int ms) { delayMs_ = ms; }
    FakeDevice& device() { return dev_; }
    // The unit's state; the caller holds no reference across calls of the agent code.
    std::mutex& lock() { return mu_; }
    FakeUnit* Unit(int port, int unit);

  private:
    DevAnswer Answer(const DevCall& call);
    DevAnswer Firmware(const DevCall& call);

    std::mutex mu_;
    std::map<int, std::array<std::optional<FakeUnit>, 4>> ports_;
    std::function<std::optional<DevAnswer>(const DevCall&, int)> hook_;
    std::atomic<int> delayMs_{0};
    FakeDevice dev_;
};

}  // namespace testing_support

// The device control channel to a controller's SCSI port: open a device path, run one
// IOCTL_SCSI_MINIPORT request on a request block, close.
//
// Windows: CreateFileA / DeviceIoControl / CloseHandle on "\\.\ScsiN: ".
// POSIX: the device path "\\.\ScsiN: " names the Unix stream socket <root>/dev/ScsiN (the leading
// "\\.\" and trailing ':' and blanks stripped; an empty name or one holding '/' does not exist).
// One connection is one open; the request travels as
//   u32le ioctl code, u32le block size, u32le n (28 <= n <= block size), then the first n bytes
//   of the block (the bytes past n are zero and are not sent),
// and the answer as
//   u32le result (0 = success, else the system error number), u32le n2 (0 on failure, else
//   28 <= n2 <= block size), then the first n2 bytes of the answer block (bytes past n2 are zero).
// A short, malformed or missing answer, or none within the time-out, is a failure.
// doc/device-transport.md describes the transport for driver writers.
//
// Thread-safe: every call works on its own handle and the caller's block.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

// How long DevOpen waits for a device that does not accept at once (POSIX: a driver whose
// listen queue is full). Expiry is an open failure with ETIMEDOUT.
constexpr int DEV_OPEN_TIMEOUT_MS = 10000;

// An open device; closed (CloseHandle / close) when it goes out of scope.
class DevHandle {
  public:
    DevHandle() = default;
    DevHandle(const DevHandle&) = delete;
    DevHandle& operator=(const DevHandle&) = delete;
    DevHandle(DevHandle&& o) noexcept : h_(o.h_) { o.h_ = kNone; }
    DevHandle& operator=(DevHandle&& o) noexcept {
        if (this != &o) {
            Close();
            h_ = o.h_;
            o.h_ = kNone;
        }
        return *this;
    }
    ~DevHandle() { Close(); }

    bool Valid() const { return h_ != kNone; }
    void Close();

    static constexpr intptr_t kNone = -1;
    intptr_t h_ = kNone;
};

// Opens `devName` for reading and writing (GENERIC_READ | GENERIC_WRITE, shared read/write,
// OPEN_EXISTING). `root` is the directory under which the POSIX transport finds dev/ScsiN; it is
// not used on Windows. On failure returns false with the system error number in *sysErr
// (ENOENT / ERROR_FILE_NOT_FOUND for a missing device, ECONNREFUSED for a device file that no
// driver serves, ETIMEDOUT after DEV_OPEN_TIMEOUT_MS).
bool DevOpen(const char* devName, const char* root, DevHandle& out, int* sysErr);

// One request through DevIoControl.
struct DevIoRequest {
    // The device control code (IOCTL_SCSI_MINIPORT, 0x0004D008, for every controller request).
    uint32_t ioctlCode = 0;
    // The request block, `blockSize` bytes (at least 28): it goes to the driver and comes back
    // holding the answer.
    uint8_t* block = nullptr;
    uint32_t blockSize = 0;
    // Only the first `sendLen` bytes of the block carry meaning on the way in (the rest must be
    // zero) and only the first `keepLen` bytes are used on the way out. The POSIX transport sends
    // just that prefix (sendLen is raised to 28 when smaller, both are cut to blockSize) and on
    // success leaves the first keepLen bytes of the block holding the answer, with zeros past
    // what the driver returned. Windows hands the whole block to DeviceIoControl and does not
    // read keepLen.
    uint32_t sendLen = 0;
    uint32_t keepLen = 0;
    // The longest wait for the answer, in milliseconds, for the whole call (POSIX). Windows
    // does not read it: the driver bounds the wait by the block's own Timeout field.
    int timeoutMs = 0;
    // When given, the request's bytes from offset 28 on (sendLen - 28 of them): they are sent
    // from here instead of from the block, whose data area is then not read on the way in (and
    // must be zero past them on Windows, which copies them into the block).
    const uint8_t* sendData = nullptr;
};

// What DevIoControl did.
struct DevIoResult {
    // The request went through and the block holds the driver's answer.
    bool ok = false;
    // On failure the system error number: the driver's result, ETIMEDOUT on expiry, EPROTO for
    // a short or malformed answer, EBADF for a handle that is not open, EINVAL for no block or
    // one under 28 bytes (POSIX); GetLastError(), or ERROR_INVALID_PARAMETER for such a block
    // (Windows). 0 on success. The block's content is unspecified after a failure.
    int sysErr = 0;
    // On every path, a bound on the leading bytes of the block that the call wrote, so that a
    // caller can keep the rest of a reused block zero without clearing it all: on POSIX the
    // larger of the answer bytes received and keepLen; blockSize on Windows.
    uint32_t touchedLen = 0;
};

// Runs one request on an open device.
[[nodiscard]] DevIoResult DevIoControl(DevHandle& dev, const DevIoRequest& req);

}  // namespace plat

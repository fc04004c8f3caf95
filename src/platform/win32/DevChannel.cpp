// The SCSI port device through the Windows port driver.
#include "platform/DevChannel.h"

#include <windows.h>

#include <cstring>

namespace plat {

namespace {
HANDLE H(intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}
}  // namespace

void DevHandle::Close() {
    if (h_ != kNone) CloseHandle(H(h_));
    h_ = kNone;
}

bool DevOpen(const char* devName, const char*, DevHandle& out, int* sysErr) {
    out.Close();
    HANDLE h = CreateFileA(devName, GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (sysErr != nullptr) *sysErr = static_cast<int>(GetLastError());
        return false;
    }
    out.h_ = reinterpret_cast<intptr_t>(h);
    return true;
}

bool DevIoControl(DevHandle& dev, uint32_t ioctlCode, uint8_t* block, uint32_t blockSize,
                  uint32_t sendLen, uint32_t, int, int* sysErr, uint32_t* touchedLen,
                  const uint8_t* sendData) {
    // The driver gets (and may write) the whole block.
    if (touchedLen != nullptr) *touchedLen = blockSize;
    if (sendData != nullptr && sendLen > 28 && sendLen <= blockSize)
        std::memcpy(block + 28, sendData, sendLen - 28);
    DWORD returned = 0;
    // Synchronous; the driver bounds the wait by the block's own Timeout field.
    if (!DeviceIoControl(H(dev.h_), ioctlCode, block, blockSize, block, blockSize, &returned,
                         nullptr)) {
        if (sysErr != nullptr) *sysErr = static_cast<int>(GetLastError());
        return false;
    }
    return true;
}

}  // namespace plat

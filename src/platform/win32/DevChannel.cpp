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

DevIoResult DevIoControl(DevHandle& dev, const DevIoRequest& req) {
    DevIoResult res;
    // The driver gets (and may write) the whole block.
    res.touchedLen = req.blockSize;
    if (req.block == nullptr || req.blockSize < 28) {
        res.sysErr = ERROR_INVALID_PARAMETER;
        return res;
    }
    if (req.sendData != nullptr && req.sendLen > 28 && req.sendLen <= req.blockSize)
        std::memcpy(req.block + 28, req.sendData, req.sendLen - 28);
    DWORD returned = 0;
    // Synchronous; the driver bounds the wait by the block's own Timeout field.
    if (!DeviceIoControl(H(dev.h_), req.ioctlCode, req.block, req.blockSize, req.block,
                         req.blockSize, &returned, nullptr)) {
        res.sysErr = static_cast<int>(GetLastError());
        return res;
    }
    res.ok = true;
    return res;
}

}  // namespace plat

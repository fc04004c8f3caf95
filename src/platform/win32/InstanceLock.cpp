#include "platform/InstanceLock.h"

#include <windows.h>

namespace plat {

InstanceLockResult AcquireInstanceLock(const char* name) {
    // Not initially owned; held (never closed) until the process ends.
    HANDLE h = CreateMutexA(nullptr, FALSE, name);
    DWORD e = GetLastError();
    if (e == ERROR_ALREADY_EXISTS || e == ERROR_ACCESS_DENIED) {
        if (h != nullptr) CloseHandle(h);
        return InstanceLockResult::AlreadyRunning;
    }
    return h != nullptr ? InstanceLockResult::Acquired : InstanceLockResult::Failed;
}

}  // namespace plat

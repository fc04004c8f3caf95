// The machine-wide Run key.
#include "platform/StartupReg.h"

#include <windows.h>

#include <cstring>

namespace plat {

namespace {

constexpr const char* RUN_KEY_PATH = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

class RunKey {
  public:
    RunKey() { ok_ = RegOpenKeyA(HKEY_LOCAL_MACHINE, RUN_KEY_PATH, &key_) == ERROR_SUCCESS; }
    ~RunKey() {
        if (ok_) RegCloseKey(key_);
    }
    RunKey(const RunKey&) = delete;
    RunKey& operator=(const RunKey&) = delete;
    bool ok() const { return ok_; }
    HKEY get() const { return key_; }

  private:
    HKEY key_ = nullptr;
    bool ok_ = false;
};

}  // namespace

bool StartupKeyOpen() {
    return RunKey().ok();
}

bool StartupValueExists(const char* name) {
    RunKey key;
    if (!key.ok()) return false;
    static thread_local BYTE data[8192];
    DWORD size = sizeof data;
    return RegQueryValueExA(key.get(), name, nullptr, nullptr, data, &size) == ERROR_SUCCESS;
}

bool StartupValueWrite(const char* name, const char* exePath) {
    RunKey key;
    if (!key.ok()) return false;
    // The path without quotes, its length without the terminator.
    return RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(exePath),
                          static_cast<DWORD>(std::strlen(exePath))) == ERROR_SUCCESS;
}

bool StartupValueDelete(const char* name) {
    RunKey key;
    if (!key.ok()) return false;
    // A value that is not there (any more) is as good as deleted.
    LONG r = RegDeleteValueA(key.get(), name);
    return r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND;
}

}  // namespace plat

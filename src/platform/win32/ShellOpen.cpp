#include "platform/win32/ShellOpen.h"

#include <windows.h>
// after windows.h
#include <shellapi.h>

namespace plat {

int ShellOpenHidden(const char* file, const char* params) {
    HINSTANCE h = ShellExecuteA(nullptr, "open", file, params, nullptr, SW_HIDE);
    return static_cast<int>(reinterpret_cast<INT_PTR>(h));
}

}  // namespace plat

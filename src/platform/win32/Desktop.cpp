// Placeholder desktop for Windows: message boxes and a message loop without a window yet.
#include "platform/Desktop.h"

#include <windows.h>

#include <atomic>

namespace plat {

namespace {
std::atomic<DWORD> g_uiThread{0};
}

void ShowMessageBox(const char* caption, const char* text, MsgBoxIcon icon) {
    UINT flags = MB_OK;
    if (icon == MsgBoxIcon::Warning) flags |= MB_ICONWARNING;
    if (icon == MsgBoxIcon::Information) flags |= MB_ICONINFORMATION;
    MessageBoxA(nullptr, text, caption, flags);
}

bool DesktopCreate(const TrayDesc&) {
    g_uiThread = GetCurrentThreadId();
    return true;
}

bool DesktopHasDisplay() {
    return true;
}

int DesktopRunLoop() {
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}

void DesktopQuit(int code) {
    PostThreadMessageA(g_uiThread, WM_QUIT, static_cast<WPARAM>(code), 0);
}

}  // namespace plat

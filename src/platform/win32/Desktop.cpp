// The Windows desktop: the hidden window that owns the tray icon and runs the message loop, the
// popup menu, the about box, and message boxes.
#include "platform/Desktop.h"

#include <windows.h>
// after windows.h
#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/win32/DesktopResources.h"

namespace plat {

namespace {

TrayDesc g_desc;
HINSTANCE g_instance = nullptr;
HWND g_window = nullptr;
DWORD g_uiThread = 0;
bool g_inCommand = false;  // UI thread only
std::atomic<bool> g_quitAsked{false};
std::atomic<int> g_quitCode{0};

// The notification data: the whole structure (508 bytes in a 32-bit build, 528 in a 64-bit one).
NOTIFYICONDATAA TrayData() {
    NOTIFYICONDATAA nid;
    std::memset(&nid, 0, sizeof nid);
    nid.cbSize = sizeof nid;
    nid.hWnd = g_window;
    nid.uID = TRAY_ICON_ID;
    nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    nid.uCallbackMessage = WM_TRAY_NOTIFY;
    nid.hIcon = LoadIconA(g_instance, MAKEINTRESOURCEA(IDI_SMALL));
    std::snprintf(nid.szTip, sizeof nid.szTip, "%s", g_desc.tooltip.c_str());
    return nid;
}

void RemoveTrayIcon() {
    NOTIFYICONDATAA nid = TrayData();
    Shell_NotifyIconA(NIM_DELETE, &nid);
}

void ShowTrayMenu(HWND hwnd) {
    SetForegroundWindow(hwnd);
    HMENU menu = CreatePopupMenu();
    if (menu == nullptr) return;
    for (const TrayMenuEntry& e :
         g_desc.buildMenu ? g_desc.buildMenu() : std::vector<TrayMenuEntry>{}) {
        BOOL ok = e.separator ? AppendMenuA(menu, MF_SEPARATOR, 0, nullptr)
                              : AppendMenuA(menu, MF_STRING | (e.checked ? MF_CHECKED : 0),
                                            static_cast<UINT_PTR>(e.command), e.text.c_str());
        if (!ok) {
            DestroyMenu(menu);
            return;
        }
    }
    POINT pt{};
    GetCursorPos(&pt);
    TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_LEFTBUTTON, pt.x, pt.y, 0, hwnd,
                   nullptr);
    DestroyMenu(menu);
}

INT_PTR CALLBACK AboutProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM) {
    switch (msg) {
        case WM_INITDIALOG:
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                EndDialog(dlg, LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

// A command of the class menu, an accelerator or the popup menu; any other goes to the default
// processing.
bool KnownCommand(int command) {
    for (const WindowMenu& m : g_desc.classMenu)
        for (const TrayMenuEntry& e : m.entries)
            if (!e.separator && e.command == command) return true;
    for (const Accelerator& a : g_desc.accelerators)
        if (a.command == command) return true;
    for (const TrayMenuEntry& e :
         g_desc.buildMenu ? g_desc.buildMenu() : std::vector<TrayMenuEntry>{})
        if (!e.separator && e.command == command) return true;
    return false;
}

// Loads string resource `id` (at most 100 bytes) into `out`; keeps `out` when there is none.
void LoadTextResource(int id, std::string& out) {
    char text[100];
    if (id != 0 && LoadStringA(g_instance, static_cast<UINT>(id), text, sizeof text) > 0)
        out = text;
}

LRESULT CALLBACK TrayWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_TRAY_NOTIFY) {
        // Only the release of the right button opens the menu.
        if (lParam != WM_RBUTTONUP || g_inCommand) return 0;
        ShowTrayMenu(hwnd);
        return 0;
    }
    switch (msg) {
        case WM_COMMAND: {
            if (!KnownCommand(LOWORD(wParam))) return DefWindowProcA(hwnd, msg, wParam, lParam);
            if (g_inCommand || !g_desc.onCommand) return 0;
            g_inCommand = true;
            bool exit = g_desc.onCommand(LOWORD(wParam));
            g_inCommand = false;
            if (exit) {
                RemoveTrayIcon();
                DestroyWindow(hwnd);
            }
            return 0;
        }
        case WM_DESTROY:
            RemoveTrayIcon();
            PostQuitMessage(0);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            BeginPaint(hwnd, &ps);
            EndPaint(hwnd, &ps);
            return 0;
        }
        case WM_QUIT:
            MessageBoxA(nullptr, "WM_QUIT", "System Shutdown Notification", MB_OK);
            RemoveTrayIcon();
            return 0;
        default:
            return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
}

}  // namespace

bool DesktopConnect() {
    g_uiThread = GetCurrentThreadId();
    g_instance = GetModuleHandleA(nullptr);
    return true;
}

void ShowMessageBox(const char* caption, const char* text, MsgBoxIcon icon) {
    UINT flags = MB_OK;
    if (icon == MsgBoxIcon::Warning) flags |= MB_ICONWARNING;
    if (icon == MsgBoxIcon::Information) flags |= MB_ICONINFORMATION;
    MessageBoxA(nullptr, text, caption, flags);
}

bool DesktopCreate(const TrayDesc& desc) {
    g_desc = desc;
    if (g_instance == nullptr) g_instance = GetModuleHandleA(nullptr);
    LoadTextResource(IDS_APP_TITLE, g_desc.windowTitle);
    LoadTextResource(IDC_PELLOMAR, g_desc.windowClass);
    if (g_uiThread == 0) g_uiThread = GetCurrentThreadId();

    WNDCLASSEXA wc;
    std::memset(&wc, 0, sizeof wc);
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = &TrayWindowProc;
    wc.hInstance = g_instance;
    wc.hIcon = LoadIconA(g_instance, MAKEINTRESOURCEA(IDI_PELLOMAR));
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    wc.lpszMenuName = MAKEINTRESOURCEA(IDC_PELLOMAR);
    wc.lpszClassName = g_desc.windowClass.c_str();
    wc.hIconSm = LoadIconA(g_instance, MAKEINTRESOURCEA(IDI_SMALL));
    RegisterClassExA(&wc);

    g_window =
        CreateWindowExA(0, g_desc.windowClass.c_str(), g_desc.windowTitle.c_str(),
                        WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT, CW_USEDEFAULT, desc.windowWidth,
                        desc.windowHeight, nullptr, nullptr, g_instance, nullptr);
    if (g_window == nullptr) return false;
    ShowWindow(g_window, SW_HIDE);
    UpdateWindow(g_window);
    NOTIFYICONDATAA nid = TrayData();
    Shell_NotifyIconA(NIM_ADD, &nid);  // without a shell the agent runs without an icon
    return true;
}

bool DesktopHasDisplay() {
    return true;
}

void DesktopShowAbout() {
    DialogBoxParamA(g_instance, MAKEINTRESOURCEA(IDD_ABOUTBOX), g_window, &AboutProc, 0);
}

int DesktopRunLoop() {
    if (g_quitAsked.load()) return g_quitCode.load();
    HACCEL accel = LoadAcceleratorsA(g_instance, MAKEINTRESOURCEA(IDC_PELLOMAR));
    MSG msg;
    BOOL r;
    while ((r = GetMessageA(&msg, nullptr, 0, 0)) != 0) {
        if (r == -1) return 0;
        if (msg.hwnd == nullptr && msg.message == WM_APP && g_quitAsked.load()) {
            if (g_window != nullptr) {
                RemoveTrayIcon();
                DestroyWindow(g_window);
                g_window = nullptr;
            }
            return g_quitCode.load();
        }
        if (accel == nullptr || !TranslateAcceleratorA(g_window, accel, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return static_cast<int>(msg.wParam);
}

void DesktopQuit(int code) {
    g_quitCode.store(code);
    g_quitAsked.store(true);
    if (g_uiThread != 0) PostThreadMessageA(g_uiThread, WM_APP, 0, 0);
}

}  // namespace plat

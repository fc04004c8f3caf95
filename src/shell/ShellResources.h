// Resource ids and texts of the desktop shell, in one place. The Windows build generates its
// resource script from these; the Linux desktop reads them directly.
#pragma once

// String resources.
constexpr int IDS_APP_TITLE = 103;
constexpr int IDC_PELLOMAR = 109;  // window class name; also menu and accelerators 109
constexpr const char* STR_APP_TITLE = "Pellomar";
constexpr const char* STR_WINDOW_CLASS = "PELLOMAR";

// Icons, menu, accelerators and dialogs.
constexpr int IDI_PELLOMAR = 107;  // application icon
constexpr int IDI_SMALL = 108;     // small icon, tray icon
constexpr int IDD_ABOUTBOX = 103;
constexpr int IDM_ABOUT = 104;
constexpr int IDM_EXIT = 105;
constexpr int IDM_RUN_AT_STARTUP = 107;
constexpr int IDM_REMOVE_FROM_STARTUP = 108;

// Tray icon.
constexpr unsigned TRAY_ICON_ID = 128;
constexpr unsigned WM_TRAY_NOTIFY = 0x0400 + 1;  // WM_USER + 1
constexpr const char* STR_TRAY_TOOLTIP = "Tavenu RAID Manager Server v3.7.1";

// Popup menu texts.
constexpr const char* STR_MENU_RUN_AT_STARTUP = "Run at Windows Startup";
constexpr const char* STR_MENU_REMOVE_FROM_STARTUP = "Remove from Windows Startup";
constexpr const char* STR_MENU_EXIT = " Exit ";

// About box.
constexpr const char* STR_ABOUT_CAPTION = "About";
constexpr const char* STR_ABOUT_TEXT = "Pellomar Version 1.0";

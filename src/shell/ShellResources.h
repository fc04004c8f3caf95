// Resource ids and texts of the desktop shell, in one place. The Windows build generates its
// resource script from these; the other desktops read them directly.
#pragma once

#include <cstddef>

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
constexpr int IDOK_ABOUT = 1;

// The hidden window: 220 x 60 pixels, never shown where there is a tray.
constexpr int HIDDEN_WINDOW_WIDTH = 220;
constexpr int HIDDEN_WINDOW_HEIGHT = 60;

// Class menu 109.
constexpr const char* STR_MENU_FILE = "&File";
constexpr const char* STR_MENU_FILE_EXIT = "E&xit";  // IDM_EXIT
constexpr const char* STR_MENU_HELP = "&Help";
constexpr const char* STR_MENU_HELP_ABOUT = "&About ...";  // IDM_ABOUT

// Accelerators 109: Alt+? and Alt+/ give IDM_ABOUT.
constexpr char ACCEL_ABOUT_KEY_1 = '?';
constexpr char ACCEL_ABOUT_KEY_2 = '/';

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
constexpr const char* STR_ABOUT_OK = "OK";
constexpr int ABOUT_WIDTH_DLU = 230;
constexpr int ABOUT_HEIGHT_DLU = 75;

// The application icon (icons 107 and 108 carry the same picture): PNG images of 128, 64, 48, 32
// and 16 pixels, 32-bit RGBA, largest first, drawn from src/shell/icons/pellomar.svg and
// embedded at build time (src/shell/icons/icons.cmake).
struct ShellIconPng {
    int iSize;
    const unsigned char* pData;
    size_t lLen;
};
constexpr size_t SHELL_ICON_COUNT = 5;
extern const ShellIconPng SHELL_ICON_PNGS[SHELL_ICON_COUNT];

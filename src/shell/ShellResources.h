// Texts and commands of the desktop shell, in one place. The Windows build generates its resource
// script from these and the resource ids of platform/win32/DesktopResources.h; the other
// desktops read them directly.
#pragma once

#include <cstddef>

// The window title and class name.
constexpr const char* STR_APP_TITLE = "Pellomar";
constexpr const char* STR_WINDOW_CLASS = "PELLOMAR";

// Commands of the menus and accelerators.
constexpr int IDM_ABOUT = 104;
constexpr int IDM_EXIT = 105;
constexpr int IDM_RUN_AT_STARTUP = 107;
constexpr int IDM_REMOVE_FROM_STARTUP = 108;

// The hidden window: 220 x 60 pixels, never shown where there is a tray.
constexpr int HIDDEN_WINDOW_WIDTH = 220;
constexpr int HIDDEN_WINDOW_HEIGHT = 60;

// The class menu.
constexpr const char* STR_MENU_FILE = "&File";
constexpr const char* STR_MENU_FILE_EXIT = "E&xit";  // IDM_EXIT
constexpr const char* STR_MENU_HELP = "&Help";
constexpr const char* STR_MENU_HELP_ABOUT = "&About ...";  // IDM_ABOUT

// Accelerators: Alt+? and Alt+/ give IDM_ABOUT.
constexpr char ACCEL_ABOUT_KEY_1 = '?';
constexpr char ACCEL_ABOUT_KEY_2 = '/';

// Tray icon.
constexpr const char* STR_TRAY_TOOLTIP = "Tavenu RAID Manager Server v3.7.1";

// Popup menu texts.
constexpr const char* STR_MENU_RUN_AT_STARTUP = "Run at Windows Startup";
constexpr const char* STR_MENU_REMOVE_FROM_STARTUP = "Remove from Windows Startup";
constexpr const char* STR_MENU_EXIT = " Exit ";

// About box.
constexpr const char* STR_ABOUT_CAPTION = "About";
constexpr const char* STR_ABOUT_TEXT = "Pellomar Version 1.0";
constexpr const char* STR_ABOUT_OK = "OK";
// Its least size in average character widths and text lines: the same box as the Windows dialog
// template's 230 x 75 dialog units (ABOUT_WIDTH_DLU, ABOUT_HEIGHT_DLU).
constexpr double ABOUT_WIDTH_CHARS = 230 / 4.0;
constexpr double ABOUT_HEIGHT_LINES = 75 / 8.0;

// The application icon (the Windows icons 107 and 108 carry the same picture): PNG images of 128,
// 64, 48, 32 and 16 pixels, 32-bit RGBA, largest first, drawn from src/shell/icons/pellomar.svg and
// embedded at build time (src/shell/icons/icons.cmake).
struct ShellIconPng {
    int iSize;
    const unsigned char* pData;
    size_t lLen;
};
constexpr size_t SHELL_ICON_COUNT = 5;
extern const ShellIconPng SHELL_ICON_PNGS[SHELL_ICON_COUNT];

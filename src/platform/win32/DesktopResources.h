// The resources the Windows desktop loads from the program (window title and class name, class
// menu, accelerators, icons, about box) and its tray icon's ids. The resource script is
// generated from these ids and the texts and commands of shell/ShellResources.h
// (cmake/ShellResources.cmake reads both files: keep every id a plain literal).
#pragma once

// String resources: the window title and the window class name (at most 100 bytes each).
constexpr int IDS_APP_TITLE = 103;
constexpr int IDC_PELLOMAR = 109;  // window class name; also menu and accelerators 109

// Icons and the about box.
constexpr int IDI_PELLOMAR = 107;  // application icon
constexpr int IDI_SMALL = 108;     // small icon, tray icon
constexpr int IDD_ABOUTBOX = 103;
constexpr int IDOK_ABOUT = 1;
// The about box's size in dialog units (a quarter of the average character width, an eighth of
// the line height of the dialog's font).
constexpr int ABOUT_WIDTH_DLU = 230;
constexpr int ABOUT_HEIGHT_DLU = 75;

// The tray icon and the message its notifications arrive with.
constexpr unsigned TRAY_ICON_ID = 128;
constexpr unsigned WM_TRAY_NOTIFY = 0x0400 + 1;  // WM_USER + 1

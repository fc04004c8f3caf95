// The desktop: the connection to the display, message boxes, the hidden window with its tray
// icon, menus and about box, and the message loop.
//
// With a display the agent shows a tray icon owned by a hidden window; a right-button release on
// the icon opens the popup menu (TrayDesc::buildMenu, asked anew for each click) and the chosen
// command goes to TrayDesc::onCommand on the UI thread. Where the desktop has no notification
// area (POSIX: no tray host a few seconds after start), the hidden window itself is shown as a
// small normal window that offers the same popup menu and its class menu; it hides again when a
// tray appears.
//
// POSIX: the desktop on a display lives in a module of its own (libpellomar-desktop.so, beside
// the executable or in the install's library folder), loaded by DesktopConnect only when
// DISPLAY or WAYLAND_DISPLAY is set, so that a headless agent never loads the desktop libraries.
// When DesktopConnect ends up headless it says why in one line on standard error: no display
// set, the module not found or not loadable, or the display not answering.
//
// Headless (POSIX: neither DISPLAY nor WAYLAND_DISPLAY set, the desktop module missing, no
// display reachable, or DesktopConnect never called): every message box writes one line
// "<caption>: <text>" to standard error (the text's trailing CR/LF dropped) and counts as closed
// at once, there is no window and no icon, and SIGTERM or SIGINT act as the tray's Exit (the
// loop returns 0).
// With a display, SIGTERM and SIGINT also end the loop with 0.
//
// The UI thread is the thread that calls DesktopConnect (the program entry's thread).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace plat {

enum class MsgBoxIcon { None, Warning, Information };

// Connects to the display when one can be reached (POSIX: DISPLAY or WAYLAND_DISPLAY set, the
// desktop module loaded and a test connection succeeds; Windows: always). Returns true with a
// display, false headless. Also blocks SIGTERM and SIGINT in the calling thread, so that every
// thread started afterwards leaves them to the desktop. Call once, first thing, from the entry
// thread: message boxes shown before DesktopCreate (the second-instance warning) are then real
// boxes on a desktop.
bool DesktopConnect();

// Shows a message box with an OK button and no owner, and returns when it has been closed.
// May be called from any thread. On the UI thread the box is modal for that thread (like a
// Windows message box); a box asked for by another thread is shown, non-modal, by the UI thread
// once its message loop runs, and the calling thread blocks until the box is closed. Any number
// of boxes may be open at once.
void ShowMessageBox(const char* caption, const char* text, MsgBoxIcon icon);

// One picture of the application icon as a PNG image (32-bit RGBA), `iSize` pixels square.
struct IconImage {
    int iSize = 0;
    const unsigned char* pPng = nullptr;
    size_t lPngLen = 0;
};

// One entry of a menu.
struct TrayMenuEntry {
    std::string text;  // '&' marks the mnemonic; empty for a separator
    int command = 0;   // delivered to TrayDesc::onCommand when chosen
    bool checked = false;
    bool separator = false;
};

// A drop-down menu of the hidden window's menu bar.
struct WindowMenu {
    std::string text;
    std::vector<TrayMenuEntry> entries;
};

// A keyboard shortcut of the hidden window: Alt (when `blAlt`) with the character `cKey` gives
// `command`.
struct Accelerator {
    char cKey = 0;
    bool blAlt = false;
    int command = 0;
};

// The about box: modal, owned by the hidden window, showing the large icon, one line of text
// (no mnemonic processing) and a default button.
struct AboutDesc {
    std::string caption;
    std::string text;
    std::string okText;
    // The least size of the box, in average character widths and text lines of its font; the box
    // grows if its content needs more.
    double minWidthChars = 0;
    double minHeightLines = 0;
};

// What the desktop shows for the agent. The Windows desktop loads the window's texts, class menu,
// accelerators, icons and about box from the program's resources (platform/win32/
// DesktopResources.h names them), which carry the same texts and pictures; there the texts below
// stand in for a string resource that cannot be loaded, and the menus and accelerators say which
// commands the window accepts.
struct TrayDesc {
    std::string windowTitle;
    std::string windowClass;
    int windowWidth = 0;
    int windowHeight = 0;
    // The hidden window's class menu and accelerators.
    std::vector<WindowMenu> classMenu;
    std::vector<Accelerator> accelerators;
    // The pictures of the application icon (window, about box and tray icon).
    std::vector<IconImage> iconImages;
    // The tray icon's tooltip.
    std::string tooltip;
    AboutDesc about;
    // Builds the popup menu anew for each right click. Runs on the UI thread.
    std::function<std::vector<TrayMenuEntry>()> buildMenu;
    // A command chosen from the popup menu, the class menu or an accelerator. Runs on the UI
    // thread; returns true when the desktop is to end (Exit): the icon is then removed, the
    // window destroyed and DesktopRunLoop returns 0. While a command runs, further clicks on the
    // icon are ignored.
    std::function<bool(int command)> onCommand;
};

// Creates the hidden window and the tray icon described by `desc` when a display is connected;
// headless it only remembers `desc`. Returns false when the window cannot be created.
// Call once, from the UI thread, after DesktopConnect and before DesktopRunLoop.
bool DesktopCreate(const TrayDesc& desc);

// True when DesktopConnect found a display.
bool DesktopHasDisplay();

// Shows the about box of TrayDesc::about modally and returns when it has been closed. UI thread
// only (from onCommand). Headless: does nothing.
void DesktopShowAbout();

// Runs the message loop on the UI thread until the user chooses Exit (or SIGTERM or SIGINT
// arrives, or DesktopQuit is called). Returns the exit code: 0 for Exit and the signals, the
// code given to DesktopQuit otherwise.
int DesktopRunLoop();

// Asks the message loop to end with `code`; a loop that has not started yet returns at once when
// it starts. Thread-safe.
void DesktopQuit(int code);

}  // namespace plat

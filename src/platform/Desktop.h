// The desktop: message boxes, the hidden window with its tray icon, and the message loop.
//
// Without a display (neither DISPLAY nor WAYLAND_DISPLAY set, or none reachable) the agent runs
// headless: every message box writes one line "<caption>: <text>" to standard error (the text's
// trailing CR/LF dropped) and counts as closed at once, and SIGTERM or SIGINT act as the tray's
// Exit.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace plat {

enum class MsgBoxIcon { None, Warning, Information };

// Shows a message box with an OK button and no owner, and returns when it has been closed.
// May be called from any thread; boxes asked for by worker threads are shown by the UI thread.
void ShowMessageBox(const char* caption, const char* text, MsgBoxIcon icon);

// One entry of the tray's popup menu.
struct TrayMenuEntry {
    std::string text;  // empty for a separator
    int command = 0;   // delivered to TrayDesc::onCommand when chosen
    bool checked = false;
    bool separator = false;
};

// What the desktop shows for the agent. The callbacks run on the UI thread.
struct TrayDesc {
    std::string windowTitle;
    std::string windowClass;
    std::string tooltip;
    // Builds the popup menu anew for each right click.
    std::function<std::vector<TrayMenuEntry>()> buildMenu;
    // A chosen menu command. Returns true when the desktop is to end (Exit).
    std::function<bool(int command)> onCommand;
};

// Creates the hidden window and the tray icon described by `desc` when a display is reachable;
// headless it only remembers `desc`. Returns false when the window cannot be created.
// Call once, from the entry thread, before DesktopRunLoop.
bool DesktopCreate(const TrayDesc& desc);

// True when DesktopCreate found a display.
bool DesktopHasDisplay();

// Runs the message loop on the entry thread until the user chooses Exit (or, headless, SIGTERM
// or SIGINT arrives). Returns the exit code, 0.
int DesktopRunLoop();

// Asks the message loop to end with `code`. Thread-safe.
void DesktopQuit(int code);

}  // namespace plat

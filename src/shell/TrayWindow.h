// The hidden window with the tray icon, its popup menu and its commands.
#pragma once

#include <vector>

#include "platform/Desktop.h"

// The popup menu, built anew for every right click: run at start-up (checked when registered),
// separator, remove from start-up (checked when not registered), separator, Exit.
std::vector<plat::TrayMenuEntry> BuildTrayMenu();

// Carries out a menu command. Returns true when the desktop is to end (Exit).
bool TrayCommand(int command);

// Registers the window, creates the hidden window and the tray icon. Returns false when the
// window cannot be created.
bool CreateTrayWindow();

// The hidden window with the tray icon, its popup menu, its class menu and accelerators, the about
// box, and their commands. Everything here runs on the UI thread.
#pragma once

#include <vector>

#include "platform/Desktop.h"

// The popup menu, built anew for every right click: run at start-up (checked when registered),
// separator, remove from start-up (checked when not registered), separator, Exit. Asks
// RunKeyQuery twice.
std::vector<plat::TrayMenuEntry> BuildTrayMenu();

// Carries out a menu command: 104 shows the about box, 107 RunKeyAdd, 108 RunKeyRemove, 105
// (Exit) returns true (the desktop is to end); any other command does nothing. Returns false
// except for Exit.
bool TrayCommand(int command);

// The desktop's description of the window, icon, menus and about box (the texts and commands of
// ShellResources.h, BuildTrayMenu and TrayCommand).
plat::TrayDesc TrayWindowDesc();

// Creates the hidden window and the tray icon. Returns false when the window cannot be created.
bool CreateTrayWindow();

// The desktop on a display, with Qt Widgets. Internal to the POSIX desktop (Desktop.cpp calls it
// once QtConnect has found a display); no Qt type appears here.
#pragma once

#include "platform/Desktop.h"

namespace plat::qtdesk {

// Tries the display (X11 first, then Wayland when its Qt platform plugin is installed) and, when
// one answers, creates the application object on the calling thread (the UI thread) and starts
// the thread that turns SIGTERM and SIGINT into the tray's Exit. Returns false, having created
// nothing, when no display answers. Call once, with SIGTERM and SIGINT blocked.
bool QtConnect();

// The calls of Desktop.h with a display; same contracts.
void QtShowMessageBox(const char* caption, const char* text, MsgBoxIcon icon);
bool QtCreate(const TrayDesc& desc);
void QtShowAbout();
int QtRunLoop();
void QtQuit(int code);

}  // namespace plat::qtdesk

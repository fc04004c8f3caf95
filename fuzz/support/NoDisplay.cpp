// The desktop of the fuzz build: no display is ever found, so the POSIX desktop (Desktop.cpp)
// runs headless and the Qt desktop is neither built nor linked.
#include "platform/posix/DesktopQt.h"

namespace plat::qtdesk {

bool QtConnect() {
    return false;
}

// Never called without a display.
void QtShowMessageBox(const char*, const char*, MsgBoxIcon) {}
bool QtCreate(const TrayDesc&) {
    return false;
}
void QtShowAbout() {}
int QtRunLoop() {
    return 0;
}
void QtQuit(int) {}

}  // namespace plat::qtdesk

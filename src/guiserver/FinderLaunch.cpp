#include "guiserver/FinderLaunch.h"

#include "core/ServerLog.h"

void InitFinderServer() {
    SrvLog("InitFinderServer.\n");
}

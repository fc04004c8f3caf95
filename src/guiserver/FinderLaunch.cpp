#include "guiserver/FinderLaunch.h"

#include <cstdio>

#include "base/ServerLog.h"
#include "guiserver/FinderLaunchOs.h"
#include "platform/HostPaths.h"
#include "platform/Threads.h"

namespace {
void FinderThreadEntry(void*) {
    ThreadFinderSrv();
}
}  // namespace

void InitFinderServer() {
    SrvLog("InitFinderServer.\n");
    if (plat::StartDetachedThread(&FinderThreadEntry, nullptr))
        SrvLog("ThreadFinderSrv CloseHandle.\n");
}

void ThreadFinderSrv() {
    plat::SleepMs(1000);
    char folder[plat::SRV_PATH_MAX];
    ProgramFolderText(folder);
    int result = LaunchFinderResponder(folder);
    SrvLog("Finder (%d) :cmd.exe  /C java \n", result);
}

bool BuildFinderParams(char* buf, size_t cap, const char* serverDir) {
    if (buf == nullptr || cap == 0) return false;
    int n = std::snprintf(buf, cap, " /C java -classpath \"%s\"  %s %s",
                          serverDir != nullptr ? serverDir : "", FINDER_PROGRAM, FINDER_KEY);
    if (n < 0 || static_cast<size_t>(n) >= cap) {
        buf[0] = '\0';
        return false;
    }
    return true;
}

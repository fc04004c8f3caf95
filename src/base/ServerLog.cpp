#include "base/ServerLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

char ServerDir[plat::SRV_PATH_MAX];

namespace {
std::mutex g_logLock;
std::mutex g_stdoutLock;
// The executable lies in the root folder: ServerDir is empty, and its files are "/name".
bool g_serverDirIsRoot = false;
}  // namespace

void SetServerDir(const char* dir) {
    std::snprintf(ServerDir, sizeof ServerDir, "%s", dir ? dir : "");
    g_serverDirIsRoot = false;
}

void SetServerDirFromExePath(const char* exePath) {
    char buf[plat::SRV_PATH_MAX];
    std::snprintf(buf, sizeof buf, "%s", exePath ? exePath : "");
    char* cut = std::strrchr(buf, plat::PathSeparator());
    if (cut == nullptr) {
        buf[0] = '\0';
    } else {
        *cut = '\0';
    }
    SetServerDir(buf);
    g_serverDirIsRoot = cut == buf;
}

bool ServerDirPath(char* buf, size_t cap, const char* name) {
    if (cap == 0) return false;
    buf[0] = '\0';
    if (ServerDir[0] == '\0' && !g_serverDirIsRoot) return false;
    int n = std::snprintf(buf, cap, "%s%c%s", ServerDir, plat::PathSeparator(), name);
    if (n < 0 || static_cast<size_t>(n) >= cap) {
        buf[0] = '\0';
        return false;
    }
    return true;
}

void ServerFolderText(char (&out)[plat::SRV_PATH_MAX]) {
    const char sep = plat::PathSeparator();
    if (g_serverDirIsRoot) {
        std::snprintf(out, sizeof out, "%c", sep);
        return;
    }
    std::snprintf(out, sizeof out, "%s", ServerDir);
    const bool bareDrive = sep == '\\' && std::strlen(out) == 2 && out[1] == ':';
    if (bareDrive) {
        out[2] = sep;
        out[3] = '\0';
    }
}

void SrvLog(const char* format, ...) {
    char text[SRV_LOG_LINE_MAX] = {};
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);

    char path[plat::SRV_PATH_MAX];
    if (!ServerDirPath(path, sizeof path, "ServerLog.txt")) return;

    std::lock_guard<std::mutex> lock(g_logLock);
    plat::AppendTextToFile(path, text, std::strlen(text));
}

void StdOutMsg(const char* format, ...) {
    std::lock_guard<std::mutex> lock(g_stdoutLock);
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stdout, format, ap);
    va_end(ap);
    std::fflush(stdout);
}

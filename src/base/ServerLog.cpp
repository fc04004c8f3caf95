#include "base/ServerLog.h"

#include <atomic>
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
// Set apart from ServerDir (empty: ServerDir's).
char g_logDir[plat::SRV_PATH_MAX];
char g_programDir[plat::SRV_PATH_MAX];
std::atomic<bool> g_logToStderr{false};

// name in `dir`, or in ServerDir when `dir` is empty.
bool DirPath(const char* dir, char* buf, size_t cap, const char* name) {
    if (dir[0] == '\0') return ServerDirPath(buf, cap, name);
    if (cap == 0) return false;
    int n = std::snprintf(buf, cap, "%s%c%s", dir, plat::PathSeparator(), name);
    if (n < 0 || static_cast<size_t>(n) >= cap) {
        buf[0] = '\0';
        return false;
    }
    return true;
}

// The folder text of `dir` as a command names it (see ServerFolderText).
void FolderText(const char* dir, bool isRoot, char (&out)[plat::SRV_PATH_MAX]) {
    const char sep = plat::PathSeparator();
    if (isRoot) {
        std::snprintf(out, sizeof out, "%c", sep);
        return;
    }
    std::snprintf(out, sizeof out, "%s", dir);
    const bool bareDrive = sep == '\\' && std::strlen(out) == 2 && out[1] == ':';
    if (bareDrive) {
        out[2] = sep;
        out[3] = '\0';
    }
}

}  // namespace

void SetLogDir(const char* dir) {
    std::snprintf(g_logDir, sizeof g_logDir, "%s", dir ? dir : "");
}

void SetProgramDir(const char* dir) {
    std::snprintf(g_programDir, sizeof g_programDir, "%s", dir ? dir : "");
}

void SetLogToStderr(bool on) {
    g_logToStderr.store(on);
}

void ProgramFolderText(char (&out)[plat::SRV_PATH_MAX]) {
    if (g_programDir[0] == '\0') {
        ServerFolderText(out);
        return;
    }
    FolderText(g_programDir, false, out);
}

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
    FolderText(ServerDir, g_serverDirIsRoot, out);
}

void SrvLog(const char* format, ...) {
    char text[SRV_LOG_LINE_MAX] = {};
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);

    const size_t len = std::strlen(text);
    char path[plat::SRV_PATH_MAX];
    const bool toFile = DirPath(g_logDir, path, sizeof path, "ServerLog.txt");

    std::lock_guard<std::mutex> lock(g_logLock);
    if (toFile) plat::AppendTextToFile(path, text, len);
    if (g_logToStderr.load()) {
        std::fwrite(text, 1, len, stderr);
        std::fflush(stderr);
    }
}

void StdOutMsg(const char* format, ...) {
    std::lock_guard<std::mutex> lock(g_stdoutLock);
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stdout, format, ap);
    va_end(ap);
    std::fflush(stdout);
}

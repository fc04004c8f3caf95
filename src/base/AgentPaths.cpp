#include "base/AgentPaths.h"

#include <cstdio>

#include "base/ServerLog.h"

#ifdef PELLOMAR_FHS
namespace {
constexpr const char* kConfFile = PELLOMAR_CONF_DIR "/pellomar.conf";
constexpr const char* kStateDir = PELLOMAR_STATE_DIR;
constexpr const char* kLogDir = PELLOMAR_LOG_DIR;
constexpr const char* kProgramDir = PELLOMAR_PROGRAM_DIR;
}  // namespace
#endif

bool PackagedLayout() {
#ifdef PELLOMAR_FHS
    return true;
#else
    return false;
#endif
}

void ResolveSettingsPath(const char* exePath, const char* configArg, char* buf, size_t cap) {
    if (cap == 0) return;
    buf[0] = '\0';
    if (configArg != nullptr && configArg[0] != '\0') {
        const int n = std::snprintf(buf, cap, "%s", configArg);
        if (n < 0 || static_cast<size_t>(n) >= cap) buf[0] = '\0';
        return;
    }
#ifdef PELLOMAR_FHS
    (void)exePath;
    const int n = std::snprintf(buf, cap, "%s", kConfFile);
    if (n < 0 || static_cast<size_t>(n) >= cap) buf[0] = '\0';
#else
    SetServerDirFromExePath(exePath);
    if (!ServerDirPath(buf, cap, SETTINGS_FILE)) buf[0] = '\0';
#endif
}

void ApplyAgentPaths(const char* exePath, const PathSettings& paths) {
#ifdef PELLOMAR_FHS
    (void)exePath;
    SetServerDir(paths.stateDir.empty() ? kStateDir : paths.stateDir.c_str());
    SetLogDir(paths.logDir.empty() ? kLogDir : paths.logDir.c_str());
    SetProgramDir(paths.programDir.empty() ? kProgramDir : paths.programDir.c_str());
#else
    SetServerDirFromExePath(exePath);
    SetLogDir("");
    SetProgramDir("");
    if (paths.stateDir.empty() && paths.logDir.empty() && paths.programDir.empty()) return;
    // What [paths] leaves unset stays beside the executable.
    char exeDir[plat::SRV_PATH_MAX];
    ServerFolderText(exeDir);
    SetLogDir(paths.logDir.empty() ? exeDir : paths.logDir.c_str());
    SetProgramDir(paths.programDir.empty() ? exeDir : paths.programDir.c_str());
    if (!paths.stateDir.empty()) SetServerDir(paths.stateDir.c_str());
#endif
}

#include "app/CommandLine.h"

#include <cstdio>
#include <cstring>

#include "base/ServerLog.h"
#include "base/Settings.h"
#include "platform/HostPaths.h"

namespace {

constexpr const char* USAGE =
    "Usage: pellomar [--check-config | --help | --version]\n"
    "Without arguments runs the RAID controller management agent.\n"
    "  --check-config  read pellomar.conf beside the agent, print what it says, exit 0 or 1\n"
    "  --help          this text\n"
    "  --version       the agent's version\n";

int CheckConfig() {
    char exePath[plat::SRV_PATH_MAX];
    if (!plat::GetExecutablePath(exePath, sizeof exePath)) exePath[0] = '\0';
    SetServerDirFromExePath(exePath);
    char path[plat::SRV_PATH_MAX];
    SettingsFilePath(path, sizeof path);
    const AgentSettings s = LoadAgentSettings(path);
    if (!s.found)
        std::printf("%s: not found; every setting has its default:\n", path);
    else if (s.Ok())
        std::printf("%s: read, no fault:\n", path);
    for (const std::string& f : s.faults)
        std::fprintf(stderr, "%s\n", f.c_str());
    if (!s.Ok())
        std::printf("%s: %zu fault(s); until mended the agent runs with:\n", path, s.faults.size());
    std::fputs(DescribeAgentSettings(s).c_str(), stdout);
    return s.Ok() ? 0 : 1;
}

}  // namespace

bool RunsAsAgent(int argc, char**) {
    return argc <= 1;
}

int RunCommandLine(int argc, char** argv) {
    const char* a = argv[1];
    if (argc == 2 && std::strcmp(a, "--check-config") == 0) return CheckConfig();
    if (argc == 2 && (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0)) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(a, "--version") == 0) {
        std::printf("pellomar %s\n", PELLOMAR_VERSION);
        return 0;
    }
    std::fprintf(stderr, "pellomar: unknown argument %s\n%s", a, USAGE);
    return 2;
}

void SettingsFilePath(char* buf, size_t cap) {
    if (!ServerDirPath(buf, cap, SETTINGS_FILE) && cap > 0) buf[0] = '\0';
}

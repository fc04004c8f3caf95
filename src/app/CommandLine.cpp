#include "app/CommandLine.h"

#include <cstdio>
#include <cstring>

#include "base/AgentPaths.h"
#include "base/Settings.h"
#include "platform/HostPaths.h"

namespace {

constexpr const char* USAGE =
    "Usage: pellomar [--config FILE] [--check-config | --help | --version]\n"
    "Without arguments runs the RAID controller management agent.\n"
    "  --config FILE   use the settings file FILE instead of the agent's own\n"
    "  --check-config  read the settings file, print what it says, exit 0 (no fault) or 1\n"
    "  --help          this text\n"
    "  --version       the agent's version\n";

int Usage(const char* why, const char* what) {
    std::fprintf(stderr, "pellomar: %s%s\n%s", why, what, USAGE);
    return 2;
}

int CheckConfig(const char* configPath) {
    char exePath[plat::SRV_PATH_MAX];
    if (!plat::GetExecutablePath(exePath, sizeof exePath)) exePath[0] = '\0';
    char path[plat::SRV_PATH_MAX];
    ResolveSettingsPath(exePath, configPath, path, sizeof path);
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

bool ParseAgentCommandLine(int argc, char** argv, const char** configPath, int* exitCode) {
    *configPath = nullptr;
    *exitCode = 0;
    bool check = false;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--config") == 0) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                *exitCode = Usage("--config needs a file", "");
                return false;
            }
            *configPath = argv[++i];
        } else if (std::strcmp(a, "--check-config") == 0) {
            check = true;
        } else if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
            std::fputs(USAGE, stdout);
            return false;
        } else if (std::strcmp(a, "--version") == 0) {
            std::printf("pellomar %s\n", PELLOMAR_VERSION);
            return false;
        } else {
            *exitCode = Usage("unknown argument ", a);
            return false;
        }
    }
    if (!check) return true;
    *exitCode = CheckConfig(*configPath);
    return false;
}

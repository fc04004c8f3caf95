// The agent's GUI server alone, on a port of the caller's choice, for the load benchmarks.
// usage: bench_gui_server -p PORT -d DIR   (DIR receives ServerLog.txt)
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/ServerLog.h"
#include "guiserver/GuiListener.h"

int main(int argc, char** argv) {
    long port = 0;
    const char* dir = nullptr;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "-p") == 0) port = std::strtol(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "-d") == 0) dir = argv[i + 1];
    }
    if (port <= 0 || port > 65535 || dir == nullptr) {
        std::fprintf(stderr, "usage: %s -p PORT -d DIR\n", argv[0]);
        return 2;
    }
    SetServerDir(dir);
    GuiServerListen(static_cast<uint16_t>(port), nullptr);
}

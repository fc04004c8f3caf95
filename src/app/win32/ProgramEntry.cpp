#include <windows.h>

#include <cstdio>

#include "app/ServerMain.h"

// The process ends with all its threads: nothing is torn down under threads still running.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    int code = ServerMain(__argc, __argv);
    std::fflush(nullptr);
    ExitProcess(static_cast<UINT>(code));
}

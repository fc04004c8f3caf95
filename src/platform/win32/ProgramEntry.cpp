#include <windows.h>

#include "core/ServerMain.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return ServerMain();
}

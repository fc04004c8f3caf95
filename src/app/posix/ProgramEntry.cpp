#include <cstdio>
#include <cstdlib>

#include "app/ServerMain.h"

int main(int argc, char** argv) {
    int code = ServerMain(argc, argv);
    // The process ends with all its threads: nothing is torn down under threads still running.
    std::fflush(nullptr);
    std::_Exit(code);
}

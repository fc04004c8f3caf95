#include "platform/Process.h"

#include <windows.h>
// after windows.h
#include <shellapi.h>

#include <string>

namespace plat {

int ShellOpenHidden(const char* file, const char* params) {
    HINSTANCE h = ShellExecuteA(nullptr, "open", file, params, nullptr, SW_HIDE);
    return static_cast<int>(reinterpret_cast<INT_PTR>(h));
}

int LaunchDetached(const char* const argv[]) {
    if (argv == nullptr || argv[0] == nullptr) return LAUNCH_FILE_NOT_FOUND;
    // Parameters quoted as the C runtime splits them.
    std::string params;
    for (int i = 1; argv[i] != nullptr; ++i) {
        if (i > 1) params += ' ';
        params += '"';
        for (const char* p = argv[i]; *p != '\0'; ++p) {
            if (*p == '"') params += '\\';
            params += *p;
        }
        params += '"';
    }
    return ShellOpenHidden(argv[0], params.c_str());
}

}  // namespace plat

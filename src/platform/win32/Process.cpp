#include "platform/Process.h"

#include <windows.h>

#include <string>

namespace plat {

namespace {

// Appends `arg` as one argument the way the C runtime splits a command line: in double quotes,
// a quote inside escaped, and the backslashes before a quote (or before the closing quote)
// doubled so that they stay backslashes.
void AppendArg(std::string& line, const char* arg) {
    line += '"';
    size_t backslashes = 0;
    for (const char* p = arg; *p != '\0'; ++p) {
        if (*p == '\\') {
            ++backslashes;
            continue;
        }
        line.append(*p == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        line += *p;
    }
    line.append(2 * backslashes, '\\');
    line += '"';
}

}  // namespace

int LaunchDetached(const char* const argv[]) {
    if (argv == nullptr || argv[0] == nullptr || argv[0][0] == '\0') return LAUNCH_FILE_NOT_FOUND;
    std::string line;
    for (int i = 0; argv[i] != nullptr; ++i) {
        if (i > 0) line += ' ';
        AppendArg(line, argv[i]);
    }
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    // The program by its path (no search), no handles inherited, no console of its own.
    if (!CreateProcessA(argv[0], line.data(), nullptr, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &si, &pi)) {
        switch (GetLastError()) {
            case ERROR_FILE_NOT_FOUND:
            case ERROR_PATH_NOT_FOUND:
            case ERROR_INVALID_NAME:
                return LAUNCH_FILE_NOT_FOUND;
            case ERROR_ACCESS_DENIED:
            case ERROR_BAD_EXE_FORMAT:
                return LAUNCH_ACCESS_DENIED;
            default:
                return LAUNCH_FAILED;
        }
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return LAUNCH_OK;
}

}  // namespace plat

#include "platform/HostPaths.h"

#include <direct.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

// windows.h names a function of its own ReplaceFile.
#undef ReplaceFile

namespace plat {

char PathSeparator() {
    return '\\';
}

bool GetExecutablePath(char* buf, size_t cap) {
    if (cap == 0) return false;
    buf[0] = '\0';
    DWORD n = GetModuleFileNameA(nullptr, buf, static_cast<DWORD>(cap));
    if (n == 0 || n >= cap) {
        buf[0] = '\0';
        return false;
    }
    return true;
}

bool GetCurrentDir(char* buf, size_t cap) {
    if (cap == 0) return false;
    if (_getcwd(buf, static_cast<int>(cap)) == nullptr) {
        buf[0] = '\0';
        return false;
    }
    return true;
}

LocalTime GetLocalTime() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_s(&tm, &t);
    return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_yday + 1,
                     tm.tm_hour,        tm.tm_min,     tm.tm_sec};
}

bool AppendTextToFile(const char* path, const char* text, size_t len) {
    std::FILE* f = std::fopen(path, "a");
    if (f == nullptr) return false;
    bool ok = std::fwrite(text, 1, len, f) == len;
    return std::fclose(f) == 0 && ok;
}

bool ReplaceFile(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

int LastSysError() {
    return static_cast<int>(GetLastError());
}

void ClearLastSysError() {
    SetLastError(0);
}

}  // namespace plat

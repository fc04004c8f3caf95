// Paths, files and clock of the host.
//
// Every call is thread-safe. Texts are written NUL-terminated and never beyond the capacity the
// caller gives; a result that does not fit is a failure, and the buffer then holds an empty text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

// Capacity of every path buffer of the agent (MAX_PATH on Windows, PATH_MAX on POSIX).
#if defined(_WIN32)
constexpr size_t SRV_PATH_MAX = 260;
#else
constexpr size_t SRV_PATH_MAX = 4096;
#endif

// The separator between a directory and a name: '\\' on Windows, '/' on POSIX.
char PathSeparator();

// Full path of the running executable, with symbolic links resolved (POSIX) or as the system
// reports it (Windows). Returns false when it cannot be read or does not fit `cap` bytes.
bool GetExecutablePath(char* buf, size_t cap);

// The process's current working directory as an absolute path. Returns false when it cannot be
// read or does not fit `cap` bytes.
bool GetCurrentDir(char* buf, size_t cap);

// Local calendar time, as localtime() gives it.
struct LocalTime {
    int year;    // four digits
    int month;   // 1 to 12
    int day;     // day of the month, 1 to 31
    int yday;    // day of the year, 1 to 366
    int hour;    // 0 to 23
    int minute;  // 0 to 59
    int second;  // 0 to 60
};
LocalTime GetLocalTime();

// Seconds since the epoch (time(nullptr)).
int64_t NowSeconds();

// Blocks the calling thread for `ms` milliseconds.
void SleepMs(uint32_t ms);

// Appends `len` bytes of `text` to the file `path` (created when missing), in text mode: line
// ends become CR LF on Windows. The file is opened and closed by the call. Returns false when it
// cannot be opened or not all bytes were written. Thread-safe; appends of one call are not
// mixed with those of other calls only when the caller serialises them.
bool AppendTextToFile(const char* path, const char* text, size_t len);

// Renames `from` to `to`, replacing `to` if it exists, in one step where the host allows it.
// Returns false (and leaves `to` as it was) on failure.
bool ReplaceFile(const char* from, const char* to);

// The last system error number of the calling thread (errno / GetLastError()).
int LastSysError();

// Sets the calling thread's last system error number to 0.
void ClearLastSysError();

}  // namespace plat

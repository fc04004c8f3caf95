// Opening a file through the Windows shell, a host call of Windows alone: only code under a
// win32/ folder includes this header, and it exists in the Windows build only.
#pragma once

namespace plat {

// ShellExecuteA(no owner, "open", file, params, no directory, SW_HIDE), returning its result as
// an int: above 32 on success, else the shell's error (LAUNCH_FILE_NOT_FOUND for a missing
// program, LAUNCH_ACCESS_DENIED when it may not be run; platform/Process.h). Never waits for
// what it starts. Thread-safe.
int ShellOpenHidden(const char* file, const char* params);

}  // namespace plat

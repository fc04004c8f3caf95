// Inside the responder launch: the piece that differs per host. FinderLaunch.cpp calls
// LaunchFinderResponder; each host's implementation lives in guiserver/<os>/FinderLaunchOs.cpp.
#pragma once

#include <cstddef>

// The responder's program or class name and its one argument.
constexpr const char FINDER_PROGRAM[] = "EchoBack";
constexpr const char FINDER_KEY[] = "KELDRAN";

// Launches the responder found in `serverDir`, detached and hidden, and returns the launch
// result in the manner of ShellExecuteA (above 32 on success; plat::LAUNCH_FILE_NOT_FOUND when
// the program is missing, plat::LAUNCH_ACCESS_DENIED when it may not be executed). Never waits
// for the responder. Thread-safe.
//   POSIX: <serverDir>/EchoBack KELDRAN, through plat::LaunchDetached.
//   Windows: the command interpreter, "open" "cmd.exe" with BuildFinderParams, hidden, through
//   plat::ShellOpenHidden (platform/win32/ShellOpen.h).
int LaunchFinderResponder(const char* serverDir);

// The command interpreter's parameter text for the Windows launch: a blank, /C java -classpath,
// a blank, serverDir enclosed in double quotes, a blank, and " EchoBack KELDRAN". For C:\Tools:
//   ` /C java -classpath "C:\Tools"  EchoBack KELDRAN`
// Writes the NUL-terminated text into buf. Returns false (buf then empty) when it does not fit
// `cap` bytes.
bool BuildFinderParams(char* buf, size_t cap, const char* serverDir);

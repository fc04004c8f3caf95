// Launching external programs that the agent never waits for.
#pragma once

namespace plat {

// Results in the manner of ShellExecuteA: above 32 is success; 32 or less is a failure, with
// LAUNCH_FILE_NOT_FOUND when the program is missing and LAUNCH_ACCESS_DENIED when it may not be
// executed.
constexpr int LAUNCH_OK = 42;
constexpr int LAUNCH_FILE_NOT_FOUND = 2;
constexpr int LAUNCH_ACCESS_DENIED = 5;
constexpr int LAUNCH_FAILED = 31;

// Starts argv[0] (a path; no search of PATH) with the arguments argv[1..] (a null-terminated
// array) detached from the agent: in a session of its own, standard streams on the null device,
// in the agent's current directory, with no handles of the agent inherited and with no signal
// blocked or ignored (whatever the calling thread blocks). Returns once the program has been
// executed (or has failed to be), never waiting for it to end, and leaves no zombie behind: the
// program is never the agent's child. (Windows: CreateProcessA with the arguments quoted as the
// C runtime splits them, no console and so no standard streams, no handle inherited.)
// Results: LAUNCH_OK; LAUNCH_FILE_NOT_FOUND for a missing program (or a missing folder on its
// path, or an empty path); LAUNCH_ACCESS_DENIED for a program that may not be executed (no
// execute permission, a folder, a file of no executable format); LAUNCH_FAILED for anything
// else (no process could be created). Thread-safe.
int LaunchDetached(const char* const argv[]);

// Windows also opens programs through its shell: platform/win32/ShellOpen.h.

}  // namespace plat

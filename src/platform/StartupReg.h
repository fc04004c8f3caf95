// Start-with-the-system registration: one named value that makes the host start a program when
// the system starts (Windows: a REG_SZ value under the HKLM Run key,
// SOFTWARE\Microsoft\Windows\CurrentVersion\Run; POSIX: an XDG autostart desktop entry).
// Called from the UI thread only.
#pragma once

namespace plat {

// Opens the place where the value lives. Returns false when it cannot be opened; nothing else
// can then be done.
bool StartupKeyOpen();

// True when the value `name` exists and reading it (at most 8192 bytes) succeeds.
bool StartupValueExists(const char* name);

// Writes the value `name` so that the host starts `exePath` (written unquoted in the registry,
// quoted as the desktop-entry rules require in an autostart entry). Returns false on failure.
bool StartupValueWrite(const char* name, const char* exePath);

// Deletes the value `name`. Returns false on failure.
bool StartupValueDelete(const char* name);

}  // namespace plat

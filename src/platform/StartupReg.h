// Start-with-the-system registration: one named value that makes the host start a program when
// the system starts.
//   Windows: a REG_SZ value `name` under the HKEY_LOCAL_MACHINE key
//            SOFTWARE\Microsoft\Windows\CurrentVersion\Run whose data is the executable's
//            path, unquoted.
//   POSIX:   the XDG autostart entry "<dir>/autostart/<name>.desktop", where <dir> is the first
//            absolute directory of $XDG_CONFIG_DIRS (default /etc/xdg): a desktop entry with
//            Type=Application, Name=<name>, Exec=<the path, quoted as desktop entries require>
//            and Terminal=false. The "key" is the autostart folder.
// Called from the UI thread only; the calls keep no state between them.
#pragma once

namespace plat {

// Opens the place where the value lives: true when the key opens (POSIX: the autostart folder
// exists, or it does not and the nearest existing folder above it is one we may create it in).
// Returns false when it cannot be opened; nothing else can then be done.
bool StartupKeyOpen();

// True when the value `name` exists and reading it (at most 8192 bytes) succeeds (POSIX: the
// entry is a file that opens and reads without error; any content counts).
bool StartupValueExists(const char* name);

// Writes the value `name` so that the host starts `exePath` (an absolute path) when the system
// starts, replacing what was there. POSIX: creates the autostart folder if needed and writes the
// entry (mode 0644) through the hidden temporary file ".<name>.desktop.tmp" renamed over it
// (WriteFileAtomically, Durability::Flush), so a reader sees the old entry or the new one, never
// a part. Returns false, having changed nothing, on failure (also for a path a desktop
// entry cannot carry: relative, not UTF-8, or with control characters).
bool StartupValueWrite(const char* name, const char* exePath);

// Deletes the value `name`. Returns true when it is gone (also when it was not there), false on
// failure.
bool StartupValueDelete(const char* name);

}  // namespace plat

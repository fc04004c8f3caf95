// The per-host part of WriteFileAtomically (FileSync.cpp); inside the platform layer only.
#pragma once

namespace plat {

// Puts on the disk the folder entry that ReplaceFile has just changed for `path`. POSIX: syncs
// the folder that holds `path`. Windows: nothing is left to do, since ReplaceFile moves with
// MOVEFILE_WRITE_THROUGH and returns only once the move is on the disk. False when the folder
// cannot be opened or synced.
bool SyncReplacedEntry(const char* path);

}  // namespace plat

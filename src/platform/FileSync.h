// Durable file writes: pushing a stdio file's data through to the disk.
#pragma once

#include <cstdio>

namespace plat {

// Flushes `f`'s stdio buffer and asks the host to put the file's data on the disk (fsync on
// POSIX, _commit on Windows) before returning. Returns false when either step fails (the data
// may then not have reached the disk). Thread-safe for distinct files.
bool SyncFile(std::FILE* f);

}  // namespace plat

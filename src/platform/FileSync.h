// Durable file writes: pushing a stdio file's data through to the disk, and replacing a file
// whole through a temporary one.
#pragma once

#include <cstdio>
#include <functional>

namespace plat {

// Flushes `f`'s stdio buffer and asks the host to put the file's data on the disk (fsync on
// POSIX, _commit on Windows) before returning. Returns false when either step fails (the data
// may then not have reached the disk). Thread-safe for distinct files.
bool SyncFile(std::FILE* f);

// How far WriteFileAtomically goes to make the new content survive a crash or power loss.
enum class Durability {
    // The content is flushed to the host and the file renamed into place: other programs see
    // the old or the new file, never a part, but a power loss soon after may lose the change.
    None,
    // As None, and the temporary file's data is put on the disk (SyncFile) before it replaces
    // the file, and the folder entry after (POSIX: the folder is synced; Windows: ReplaceFile
    // writes the move through before returning). After a power loss the file is the old one
    // or the new one, whole.
    Flush,
};

// Who may read the file WriteFileAtomically writes.
enum class FileAccess {
    Default,    // as any new file of the process (POSIX: 0666 less the umask)
    OwnerOnly,  // the process's user alone (OpenPrivateFile: POSIX mode 0600)
};

// Replaces the file `path` with new content: creates the temporary file `tempPath` (or
// "<path>.tmp" when none is given; it must lie in the folder of `path`) in text mode, lets
// `writeContent` write into it (it returns false on a failure of its own), flushes and closes
// it as `durability` asks and puts it in the place of `path` (ReplaceFile). Returns true once
// the new file is in place. On any failure (the temporary's name too long for
// SRV_PATH_MAX, the temporary not created, writeContent or a flush, close or the replacement
// failing) returns false, removes the temporary if it created it, and leaves `path` as it was.
// Callers serialise writes of the same file; distinct files may be written at once.
bool WriteFileAtomically(const char* path, const std::function<bool(std::FILE*)>& writeContent,
                         Durability durability, const char* tempPath = nullptr,
                         FileAccess access = FileAccess::Default);

}  // namespace plat

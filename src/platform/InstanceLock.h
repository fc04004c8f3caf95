// Machine-wide single-instance guard.
#pragma once

namespace plat {

enum class InstanceLockResult {
    Acquired,        // this process is the only one holding `name`
    AlreadyRunning,  // another process (of any user) holds it
    Failed,          // the lock could not be created for another reason; the caller goes on
};

// Takes the named machine-wide lock and holds it until the process ends (it is never released
// on the normal path, and it dies with the process however the process ends).
// Windows: the named mutex `name` (ERROR_ALREADY_EXISTS / ERROR_ACCESS_DENIED mean another
// copy). POSIX, run by root: an exclusive lock on /run/pellomar.lock (mode 0600), which no
// other user can take, plus an abstract Unix socket named after `name` for other users' copies
// to see; run by another user: that socket name alone (see posix/InstanceLock.cpp). Call once,
// from the entry thread.
InstanceLockResult AcquireInstanceLock(const char* name);

}  // namespace plat

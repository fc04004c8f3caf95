// The service manager: telling it that the agent is ready, how it fares and that it is alive,
// and whether the agent's output goes to its journal.
//
// POSIX: the notification protocol of systemd (libsystemd's sd_notify); with no service manager
// listening (NOTIFY_SOCKET unset) every call is a no-op. Windows: no service manager speaks this
// protocol, so there is never one listening.
#pragma once

#include <cstdint>

namespace plat {

// True when standard error is the stream the service manager connected to its journal
// (JOURNAL_STREAM names its device and inode).
bool OutputGoesToJournal();

// Sends `state` (e.g. "READY=1", "STATUS=text", "WATCHDOG=1") to the service manager. True when
// it was sent; false when none listens or sending failed.
bool ServiceNotify(const char* state);

// The watchdog interval the service manager asked for, in microseconds; 0 when none.
uint64_t ServiceWatchdogUsec();

}  // namespace plat

// The wiring between subsystems that may not call each other directly: the controller table
// tells the event history when a number changes hands, and the event history hands mailed
// events to the mail subsystem.
#pragma once

#include "base/Settings.h"

// Connects the hooks: a rescan's renumbered controller reloads its history
// (ReloadEventBinFile), a cleared controller forgets it (FreeEventBinList), and recorded events
// are mailed through MailEnableIsTrue and IssueMailOut; the service manager hears READY=1 when
// the GUI port listens, a status line ("STATUS=15 controllers found, 1234 clients served")
// now and then, and WATCHDOG=1 from the polling thread when it asked for a watchdog. Start-up
// calls it first; so do tests that run those paths across subsystems.
void ConnectSubsystems();

// Hands the mail subsystem and the event hook their settings: the subject, whether recoveries
// are mailed, the repeat policy (its state is loaded from ServerDir, so after the paths are
// set), the hook program. Start-up only.
void ApplyMailSettings(const AgentSettings& s);

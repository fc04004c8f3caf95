// The wiring between subsystems that may not call each other directly: the controller table
// tells the event history when a number changes hands, and the event history hands recorded
// events to the event hook and the events to be mailed to the mail subsystem.
#pragma once

#include "base/Settings.h"

// Connects the hooks: a rescan's renumbered controller reloads its history
// (ReloadEventBinFile), a cleared controller forgets it (FreeEventBinList), every recorded event
// goes to the event hook (QueueEventHook), and, while MailEnableIsTrue, the events the tables
// mark (and recoveries when [mail] recovery asks for them) that the repeat policy lets through
// are mailed with DispatchMail, the controller's serial number in the subject; the service
// manager hears READY=1 when the GUI port listens, a status line ("STATUS=15 controllers found,
// 1234 clients served") now and then, and WATCHDOG=1 from the polling thread when it asked for
// a watchdog. Start-up calls it first; so do tests that run those paths across subsystems.
void ConnectSubsystems();

// Hands the mail subsystem and the event hook their settings: the subject, whether recoveries
// are mailed, the repeat policy (its state is loaded from ServerDir, so after the paths are
// set), the hook program. Start-up only.
void ApplyMailSettings(const AgentSettings& s);

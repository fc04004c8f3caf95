// The wiring between subsystems that may not call each other directly: the controller table
// tells the event history when a number changes hands, and the event history hands mailed
// events to the mail subsystem.
#pragma once

// Connects the hooks: a rescan's renumbered controller reloads its history
// (ReloadEventBinFile), a cleared controller forgets it (FreeEventBinList), and recorded events
// are mailed through MailEnableIsTrue and IssueMailOut. Start-up calls it first; so do tests
// that run those paths across subsystems.
void ConnectSubsystems();

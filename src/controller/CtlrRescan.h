// Controller rescan: rebuilds the controller table while the agent runs.
//
// RescanCtlr probes ports 0 to 14 as the start-up scan does and records the units it finds from
// number 0 upwards, each marked alive with its unit marker and its recorded events reloaded
// (through the renumbered hook, controller/CtlrHooks.h); it empties the rest of the table after
// every port, shows nothing on the screen, and drops units beyond number 14 with a log line as the
// start-up scan does.
//
// Serialisation. A rescan holds CtlrProbeLock (so it never overlaps another rescan or a probe)
// and every controller channel (CtlrChannelHoldAll: it waits for a running package transfer or
// identify to finish, and no relay or event fetch reaches a controller while numbers change).
// Lookups wait for it: FindCtlrBySN, CountCtlr and GetCtlrSN called on other threads block until
// the rescan ends (CtlrRescanBegin/End), so that a request arriving mid-rescan finds its
// controller under its new number instead of being answered "not found" (and counted as an
// unlisted serial). Entry writes take the table lock exclusively, for each write only.
//
// Thread-safe; runs on the calling thread, which waits for all of it.
#pragma once

void RescanCtlr();

// Run-at-start-up registration under the value name "Tavenu RAID Manager Server" (the platform's
// start-with-the-system mechanism, platform/StartupReg.h). UI thread only: the add and remove
// show their outcome in message boxes and return when the user has closed them.
#pragma once

constexpr const char* RUN_KEY_VALUE_NAME = "Tavenu RAID Manager Server";

// True when the value exists (the key opens and reading it into 8192 bytes succeeds).
bool RunKeyQuery();

// Registers the executable's path. Already registered: "Already Added!", nothing written.
// Otherwise writes it and shows "RegEdit Add Done!\n\r", or "RegEdit Add Failed!\n\r" when the
// write failed. The key does not open: no box. True unless the key could not be opened or the
// write failed.
bool RunKeyAdd();

// Unregisters. Registered: "RegEdit Remove Done!\n\r", then (after the box is closed) the value
// is deleted, and "RegEdit Remove Failed!\n\r" follows when that failed. Not registered:
// "Already Removed!\n\r". The key does not open: no box. True unless the key could not be opened
// or the delete failed.
bool RunKeyRemove();

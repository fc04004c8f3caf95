// Run-at-start-up registration under the value name "Tavenu RAID Manager Server".
#pragma once

constexpr const char* RUN_KEY_VALUE_NAME = "Tavenu RAID Manager Server";

// True when the value exists (the key opens and reading it into 8192 bytes succeeds).
bool RunKeyQuery();
// Registers the executable; "Already Added!" or "RegEdit Add Done!\n\r". True unless the key
// could not be opened or the write failed.
bool RunKeyAdd();
// Unregisters; "RegEdit Remove Done!\n\r" or "Already Removed!\n\r". True unless the key could
// not be opened or the delete failed.
bool RunKeyRemove();

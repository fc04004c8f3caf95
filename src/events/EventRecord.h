// Event history and event files.
#pragma once

#include <cstdint>

// Start-up load of every live controller's recorded events.
void LoadEventBinFiles();
// The same load for one controller.
void ReloadEventBinFile(uint8_t ctlrNo);
// Releases all recorded lines of controller ctlrNo.
void FreeEventBinList(uint8_t ctlrNo);

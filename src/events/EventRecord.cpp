#include "events/EventRecord.h"

void LoadEventBinFiles() {}
void ReloadEventBinFile(uint8_t) {}
void FreeEventBinList(uint8_t) {}

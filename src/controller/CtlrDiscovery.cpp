#include "controller/CtlrDiscovery.h"

#include "controller/CtlrTable.h"

void InitCtlrTable() {
    ClearCtlrFrom(0);
}

#include "events/EventPolling.h"

#include "core/SysStatus.h"
#include "platform/HostPaths.h"

void PollingCtlrEvent() {
    for (;;)
        plat::SleepMs(1000);
}

uint8_t HandleInBandEventReq(GuiConn&, uint8_t) {
    return SYSFAIL_EVENT_REQ_FAIL;
}

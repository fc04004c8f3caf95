#include "controller/InBandRelay.h"

#include "core/SysStatus.h"

uint8_t HandleInBandReq(GuiConn&, uint8_t, uint16_t*) {
    return SYSFAIL_INBAND_NOT_ALIVE;
}

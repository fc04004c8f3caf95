#include "guiserver/SrvConfigReq.h"

#include "core/SysStatus.h"

uint8_t HandleSrvConfigReq(GuiConn&) {
    return SYSFAIL_CFGCODE_UNKNOWN;
}

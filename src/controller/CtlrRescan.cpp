#include "controller/CtlrRescan.h"

void RescanCtlr() {}

#include <unistd.h>

#include "guiserver/GuiConn.h"

// A planted fault for the layers check: base includes an OS header, reaches up into the GUI
// server and names its connection record, GuiConn.

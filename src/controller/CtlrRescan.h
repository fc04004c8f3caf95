// Rebuilds the controller table while the agent runs.
#pragma once

void RescanCtlr();

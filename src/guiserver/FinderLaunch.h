// Launch of the discovery responder.
#pragma once

// Starts the finder thread, which launches the responder after one second; returns at once.
void InitFinderServer();

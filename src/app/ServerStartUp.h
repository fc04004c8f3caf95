// The start-up sequence that brings every subsystem up in a fixed order.
#pragma once

// Reads the settings file (`configPath`, or the layout's own when null) and sets where the
// agent's files go (base/AgentPaths.h), writes the start line to the log, then: controller
// discovery, mail settings, finder thread, a 100 ms pause, the event history load, the polling
// thread and the GUI listener thread. Each step returns before the next; failures inside a step are
// that step's business and start-up goes on.
void ServerStartUp(const char* configPath);

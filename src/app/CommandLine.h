// The agent's command line. Without arguments it runs as the agent; the options only print.
//   --check-config  reads pellomar.conf beside the executable, prints what it understood or its
//                   faults, and exits 0 (no fault) or 1
//   --help, -h      the usage; exit 0
//   --version       the version; exit 0
// Anything else prints the usage to standard error and exits 2.
#pragma once

#include <cstddef>

// True when the arguments ask for the agent itself (there are none).
bool RunsAsAgent(int argc, char** argv);

// Carries out the options; returns the exit code.
int RunCommandLine(int argc, char** argv);

// ServerDir/pellomar.conf, the settings file the agent reads ("" when ServerDir is not set).
void SettingsFilePath(char* buf, size_t cap);

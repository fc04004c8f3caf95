// The agent's command line. Without arguments it runs as the agent.
//   --config FILE   runs the agent (or --check-config) with the settings file FILE instead of
//                   its layout's own (base/AgentPaths.h)
//   --check-config  reads the settings file, prints what it understood or its faults, and exits
//                   0 (no fault) or 1
//   --help, -h      the usage; exit 0
//   --version       the version; exit 0
// Anything else prints the usage to standard error and exits 2. Only --config starts anything.
#pragma once

// True when the agent is to run; *configPath is then the --config file or null. Otherwise the
// options have been carried out and *exitCode holds the process's exit code.
bool ParseAgentCommandLine(int argc, char** argv, const char** configPath, int* exitCode);

// The program entry: single-instance guard, desktop, start-up, message loop.
#pragma once

// Name of the machine-wide single-instance lock.
constexpr const char* SERVER_INSTANCE_MUTEX = "Global\\TavenuRAIDCardServerInvokeMutex";

// Runs the agent and returns its exit code: 0 after Exit, and 0 when another copy runs (after
// the warning box) or the window cannot be created. With arguments it only carries out the
// options of app/CommandLine.h and returns their exit code.
int ServerMain(int argc, char** argv);

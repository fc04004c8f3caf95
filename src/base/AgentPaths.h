// Where the agent finds its settings file and puts its files: the one place that decides.
//
// The relocatable build (the default) keeps everything beside the executable, as the agent has
// always done: the settings file, the state, the log and the companion programs share the
// executable's folder (ServerDir).
//
// The packaged build (CMake -DPELLOMAR_LAYOUT=fhs) follows the file-system hierarchy:
//   settings file      /etc/pellomar/pellomar.conf
//   state (ServerDir)  /var/lib/pellomar      mail settings, histories, packs, dev/ScsiN
//   log                /var/log/pellomar      ServerLog.txt
//   programs           /usr/libexec/pellomar  EchoBack, SendMail
// The event logs and mail bodies go to the current directory, the service's working directory.
//
// In both layouts the [paths] section of the settings file may name other folders, and
// `pellomar --config FILE` reads another settings file (the packaged layout test uses both).
#pragma once

#include <cstddef>

#include "base/Settings.h"

// True in the packaged build.
bool PackagedLayout();

// The settings file to read: `configArg` when given (--config), else the layout's own.
// `exePath` is the executable's path. Cut to `cap`; "" when it does not fit.
void ResolveSettingsPath(const char* exePath, const char* configArg, char* buf, size_t cap);

// Sets ServerDir, LogDir and ProgramDir from the layout and `paths`.
void ApplyAgentPaths(const char* exePath, const PathSettings& paths);

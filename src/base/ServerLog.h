// The server log and the directory of the executable.
#pragma once

#include <cstddef>

#include "platform/HostPaths.h"

// One SrvLog call formats into this many bytes, so it writes at most SRV_LOG_LINE_MAX - 1
// characters; longer text is cut.
constexpr size_t SRV_LOG_LINE_MAX = 2048;

// Where the agent's files go (base/AgentPaths.h decides at start-up):
//   ServerDir   the state: mail settings, event histories and packs, the device sockets (dev/)
//   LogDir      ServerLog.txt
//   ProgramDir  the companion programs the agent runs (the responder and the mailer)
// The relocatable build keeps all three beside the executable; the packaged build puts them
// where a Debian system keeps such files. Each is set once by start-up before any other thread
// exists (LogDir and ProgramDir follow ServerDir until set); only read afterwards. No trailing
// separator.
extern char ServerDir[plat::SRV_PATH_MAX];

// Sets ServerDir to the directory part of `exePath` (everything before its last separator).
// A path without a separator gives an empty ServerDir; so does an executable in the root
// folder, whose files are then "/name".
void SetServerDirFromExePath(const char* exePath);

// Sets ServerDir to `dir` as it stands (cut to the buffer). Used by start-up and by tests.
void SetServerDir(const char* dir);

// Sets LogDir and ProgramDir (cut to the buffer); null or "" makes each follow ServerDir again.
void SetLogDir(const char* dir);
void SetProgramDir(const char* dir);

// printf-style: appends the formatted text to LogDir/ServerLog.txt. Adds nothing of its own
// (no time stamp, no line end). The file is opened, written and closed by every call, and calls
// from different threads are serialised, so lines never mix. A log that cannot be opened (or a
// log folder that is empty or too long for the path) drops the text silently. When the agent
// was started by the service manager with its output going to the journal, every text also goes
// to standard error (see SetLogToStderr).
void SrvLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// printf-style diagnostic on standard output, flushed at once; serialised like SrvLog.
void StdOutMsg(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Builds ServerDir + separator + name into buf. Returns false (buf then empty) when it does not
// fit or ServerDir is empty (not set, or set from a path without a separator).
bool ServerDirPath(char* buf, size_t cap, const char* name);

// Also writes every SrvLog text to standard error (the service manager's journal).
void SetLogToStderr(bool on);

// The folder of the companion programs as a command must name it: as ServerFolderText for
// ProgramDir.
void ProgramFolderText(char (&out)[plat::SRV_PATH_MAX]);

// The folder of the executable as a command must name it (to change to it, or to find a program
// in it): ServerDir as it stands; the root folder itself when the executable lies there (ServerDir
// is then empty); a bare drive ("C:", which names that drive's current folder) with its
// separator added ("C:\"). Empty when ServerDir is not set. Cut to the buffer like ServerDir.
void ServerFolderText(char (&out)[plat::SRV_PATH_MAX]);

// What the mail dispatch does per OS: the text of the generated mailer script and its launch.
// Internal to the mail subsystem. MailScript.cpp writes the script's lines; src/mail/<os>/
// gives the pieces that differ per OS: the script's name, its commands, how a word is quoted for
// its interpreter, and how it is started.
#pragma once

#include <string>

#include "mail/MailConfig.h"
#include "platform/Subprocess.h"

namespace mail_os {

// Appended to the mail body file name to name its script (".sh" on POSIX, ".bat" on Windows).
extern const char MAIL_SCRIPT_SUFFIX[];
// The command that changes to a folder ("cd"; "cd /d" on Windows, which also changes drive).
extern const char MAIL_SCRIPT_CD[];
// The mailer's command, up to its first argument.
extern const char MAIL_SCRIPT_MAILER[];
// The command that removes files ("rm -f --"; "del /q" on Windows).
extern const char MAIL_SCRIPT_REMOVE[];

// Appends `text` as one word for the script's interpreter: any text arrives unchanged as one
// argument, and nothing in it is ever run (see the OS's file for what that takes).
void AppendQuoted(std::string& out, const std::string& text);

// `dir` and `name` joined with the OS's separator.
std::string JoinPath(const char* dir, const char* name);

// `name` as the script names a file of the directory it runs in.
std::string RelativeName(const char* name);

// The command lines that mail one recipient, each ended by a line break: change to
// `serverDir`, then run the mailer with items 1 and 2 of `srv`, `addr`, `subject`, items 3 and 4
// and the body file `cwd`/`mailFile`. Every argument is quoted for the script's interpreter.
std::string FormatRecipientLines(const char* serverDir, const MailSrvSettings& srv,
                                 const char* addr, const char* subject, const char* cwd,
                                 const char* mailFile);

// The script's last line, with its line break: removes exactly the body file and the script.
// With a null `cwd` the two names are taken relative to the directory the script runs in (right
// only when no recipient lines changed it).
std::string FormatRemoveLine(const char* cwd, const char* mailFile, const char* scriptName);

// Starts the script `scriptName` (a name relative to the agent's current directory) in the
// agent's current directory as LaunchMailScript does, but watched through `proc`: true with the
// launch result in *result; false where scripts cannot be watched (Windows), nothing started.
bool StartWatchedMailScript(const char* scriptName, plat::Subprocess& proc, int* result);

// Starts the script `scriptName` (a name relative to the agent's current directory) detached,
// in the agent's current directory. Returns the launch result (above 32 is success).
int LaunchMailScript(const char* scriptName);

}  // namespace mail_os

// What the mail dispatch does per OS: the text of the generated mailer script and its launch.
// Internal to the mail subsystem; src/mail/<os>/ implements it.
#pragma once

#include <string>

#include "mail/MailConfig.h"

namespace mail_os {

// Appended to the mail body file name to name its script (".sh" on POSIX).
extern const char MAIL_SCRIPT_SUFFIX[];

// The command lines that mail one recipient, each ended by a line break: change to
// `serverDir`, then run the mailer with items 1 and 2 of `srv`, `addr`, `subject`, items 3 and 4
// and the body file `cwd`/`mailFile`. Every argument is quoted for the script's interpreter, so
// any text arrives unchanged as one argument.
std::string FormatRecipientLines(const char* serverDir, const MailSrvSettings& srv,
                                 const char* addr, const char* subject, const char* cwd,
                                 const char* mailFile);

// The script's last line, with its line break: removes exactly the body file and the script.
// With a null `cwd` the two names are taken relative to the directory the script runs in (right
// only when no recipient lines changed it).
std::string FormatRemoveLine(const char* cwd, const char* mailFile, const char* scriptName);

// Starts the script `scriptName` (a name relative to the agent's current directory) detached,
// in the agent's current directory. Returns the plat::LaunchDetached result (above 32 is
// success).
int LaunchMailScript(const char* scriptName);

}  // namespace mail_os

// Files only the agent's own user may read: the mail settings, the mailer scripts and the mail
// bodies, which hold addresses and the SMTP password.
#pragma once

#include <cstdio>

namespace plat {

// Creates `path` for writing (emptied when it exists), readable and writable by the owner only
// (POSIX: mode 0600, also for a file that existed with a wider mode; Windows: as fopen "w",
// the folder's access rules apply). Null on failure, with errno set.
std::FILE* OpenPrivateFile(const char* path);

}  // namespace plat

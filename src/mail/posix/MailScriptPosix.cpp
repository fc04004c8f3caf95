// The mailer script on POSIX: a /bin/sh script whose arguments are all single-quoted.
#include <string>

#include "mail/MailScript.h"
#include "platform/Process.h"

namespace mail_os {

const char MAIL_SCRIPT_SUFFIX[] = ".sh";
const char MAIL_SCRIPT_CD[] = "cd";
const char MAIL_SCRIPT_MAILER[] = "./SendMail";
const char MAIL_SCRIPT_REMOVE[] = "rm -f --";

// One single-quoted word; a quote inside becomes '\'' (close the quotes, an escaped quote,
// reopen them). Inside single quotes the shell gives no character a meaning.
void AppendQuoted(std::string& out, const std::string& text) {
    out += '\'';
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    out += '\'';
}

std::string JoinPath(const char* dir, const char* name) {
    std::string p = dir;
    if (p.empty() || p.back() != '/') p += '/';
    p += name;
    return p;
}

std::string RelativeName(const char* name) {
    return JoinPath(".", name);
}

bool StartWatchedMailScript(const char* scriptName, plat::Subprocess& proc, int* result) {
    const char* const argv[] = {"/bin/sh", scriptName, nullptr};
    *result = proc.Start(argv, nullptr, nullptr);
    return true;
}

int LaunchMailScript(const char* scriptName) {
    const char* const argv[] = {"/bin/sh", scriptName, nullptr};
    return plat::LaunchDetached(argv);
}

}  // namespace mail_os

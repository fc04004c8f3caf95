// The mailer script on POSIX: a /bin/sh script whose arguments are all single-quoted.
#include <string>

#include "mail/MailScript.h"
#include "platform/Process.h"

namespace mail_os {

const char MAIL_SCRIPT_SUFFIX[] = ".sh";

namespace {

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

}  // namespace

std::string FormatRecipientLines(const char* serverDir, const MailSrvSettings& srv,
                                 const char* addr, const char* subject, const char* cwd,
                                 const char* mailFile) {
    std::string s = "cd ";
    AppendQuoted(s, serverDir);
    s += "\n./SendMail";
    for (const char* arg :
         {srv.MailSrvItem1, srv.MailSrvItem2, addr, subject, srv.MailSrvItem3, srv.MailSrvItem4}) {
        s += ' ';
        AppendQuoted(s, arg);
    }
    s += ' ';
    AppendQuoted(s, JoinPath(cwd, mailFile));
    s += '\n';
    return s;
}

std::string FormatRemoveLine(const char* cwd, const char* mailFile, const char* scriptName) {
    std::string s = "rm -f -- ";
    AppendQuoted(s, cwd != nullptr ? JoinPath(cwd, mailFile) : JoinPath(".", mailFile));
    s += ' ';
    AppendQuoted(s, cwd != nullptr ? JoinPath(cwd, scriptName) : JoinPath(".", scriptName));
    s += '\n';
    return s;
}

int LaunchMailScript(const char* scriptName) {
    const char* const argv[] = {"/bin/sh", scriptName, nullptr};
    return plat::LaunchDetached(argv);
}

}  // namespace mail_os

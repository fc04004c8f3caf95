#include "mail/MailScript.h"

namespace mail_os {

std::string FormatRecipientLines(const char* serverDir, const MailSrvSettings& srv,
                                 const char* addr, const char* subject, const char* cwd,
                                 const char* mailFile) {
    std::string s = MAIL_SCRIPT_CD;
    s += ' ';
    AppendQuoted(s, serverDir);
    s += '\n';
    s += MAIL_SCRIPT_MAILER;
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
    std::string s = MAIL_SCRIPT_REMOVE;
    s += ' ';
    AppendQuoted(s, cwd != nullptr ? JoinPath(cwd, mailFile) : RelativeName(mailFile));
    s += ' ';
    AppendQuoted(s, cwd != nullptr ? JoinPath(cwd, scriptName) : RelativeName(scriptName));
    s += '\n';
    return s;
}

}  // namespace mail_os

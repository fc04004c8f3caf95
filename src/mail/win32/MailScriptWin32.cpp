// The mailer script on Windows: a batch file run by the command interpreter.
//
// Every argument is one double-quoted word, made safe for cmd.exe and for the mailer's own
// command-line parsing:
// - inside double quotes cmd.exe gives &, |, <, > and ^ no meaning, so they pass unchanged;
// - % would still be expanded in a batch file, so it is written %% (the batch file reads %% as
//   one %);
// - a double quote cannot be carried inside a quoted word (it would end the quoting and expose
//   what follows to cmd.exe), and a line break would end the command: both are dropped;
// - backslashes right before the closing quote are doubled, so that the mailer's parser does
//   not read the closing quote as an escaped one (C:\dir\ stays C:\dir\).
// An empty text is the empty argument "".
#include <string>

#include "mail/MailScript.h"
#include "platform/win32/ShellOpen.h"

namespace mail_os {

const char MAIL_SCRIPT_SUFFIX[] = ".bat";
// /d: the agent's folder may lie on another drive than the current directory.
const char MAIL_SCRIPT_CD[] = "cd /d";
const char MAIL_SCRIPT_MAILER[] = "java -classpath .\\mail.jar;.\\activation.jar;.\\ SendMail";
const char MAIL_SCRIPT_REMOVE[] = "del /q";

void AppendQuoted(std::string& out, const std::string& text) {
    out += '"';
    size_t backslashes = 0;
    for (char c : text) {
        if (c == '"' || c == '\r' || c == '\n') continue;
        if (c == '%') {
            out += "%%";
        } else {
            out += c;
        }
        backslashes = c == '\\' ? backslashes + 1 : 0;
    }
    out.append(backslashes, '\\');
    out += '"';
}

std::string JoinPath(const char* dir, const char* name) {
    std::string p = dir;
    if (p.empty() || (p.back() != '\\' && p.back() != '/')) p += '\\';
    p += name;
    return p;
}

std::string RelativeName(const char* name) {
    return name;
}

// The command interpreter runs the batch file detached, unwatched: its outcome is not known.
bool StartWatchedMailScript(const char*, plat::Subprocess&, int*) {
    return false;
}

int LaunchMailScript(const char* scriptName) {
    std::string params = "/c ";
    params += scriptName;
    return plat::ShellOpenHidden("cmd.exe ", params.c_str());
}

}  // namespace mail_os

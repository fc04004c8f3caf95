// The mailer's part of the agent's settings file (pellomar.conf, TOML; doc/configuration.md and
// doc/mail.md): the [mail] keys that decide how SendMail protects the connection.
//
//   [mail]
//   tls = "auto"            # "auto" | "required" | "none"
//   ca_file = "/etc/pellomar/mail-ca.pem"
//
// Every other section, and every other key of [mail] (those belong to the agent), is left
// alone. A fault in what the mailer reads is never answered with weaker settings: the caller
// sends nothing while there is one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sendmail {

// How the connection to the SMTP server is protected.
enum class TlsPolicy {
    Auto,      // STARTTLS whenever offered; in the clear only when there is no log-in
    Required,  // nothing is sent without TLS
    None,      // no STARTTLS: the conversation, log-in included, in the clear
};

struct MailerSettings {
    std::string path;                 // the file read ("" when there is none)
    TlsPolicy tls = TlsPolicy::Auto;  // [mail] tls
    std::string caFile;               // [mail] ca_file ("": the system's certificate store)
    std::vector<std::string> faults;  // "FILE:LINE:COLUMN: reason" (or "FILE: reason")

    bool Ok() const { return faults.empty(); }
};

// The settings file to read: `configArg` when given (--config); else pellomar.conf in the
// folder of `exePath` when it is there; else /etc/pellomar/pellomar.conf when it is there;
// else "" (no file: the defaults).
std::string FindSettingsFile(const std::string& configArg, const std::string& exePath);

// Reads the [mail] keys from the file at `path` ("" gives the defaults). A file that is missing
// or unreadable is a fault: the caller found it or was told to use it.
MailerSettings ReadMailerSettings(const std::string& path);

// The same from the file's text; `path` names the file in the faults.
MailerSettings ParseMailerSettings(std::string_view text, const std::string& path);

}  // namespace sendmail

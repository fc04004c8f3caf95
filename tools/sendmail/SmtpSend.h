// The SMTP transfer of one message with libcurl, under the mailer's TLS settings, and what
// became of it in the terms of the outcome line (MailOutcome.h).
//
// The TLS decisions:
//   - smtps:// (or a server given as host:465): TLS from the first byte, whatever mail.tls says;
//   - mail.tls = "auto": STARTTLS whenever the server offers it; without it the conversation
//     goes on in the clear only when there is no log-in (a password is never sent unencrypted);
//   - mail.tls = "required": no TLS, nothing sent;
//   - mail.tls = "none": no STARTTLS; the conversation and the log-in go in the clear;
//   - whenever TLS is used the server's certificate and its host name are checked, against
//     mail.ca_file when it is set (and then only against it), else the system's store. TLS 1.2
//     or newer. No setting switches the checks off.
#pragma once

#include <string>

#include "sendmail/MailOutcome.h"
#include "sendmail/MailerSettings.h"

namespace sendmail {

struct SmtpJob {
    std::string url;  // smtp://host:port/ehlo-name or smtps://... (SmtpTransferUrl)
    // The envelope's bare addresses.
    std::string mailFrom;
    std::string rcptTo;
    // The log-in, when `authenticate`.
    bool authenticate = false;
    std::string user;
    std::string password;
    std::string message;  // the whole message, headers and body, CRLF line ends
    long connectTimeoutS = 30;
    long totalTimeoutS = 120;
    bool verbose = false;  // the conversation on standard error
    TlsPolicy tls = TlsPolicy::Auto;
    std::string caFile;  // "" : the system's certificate store
};

struct SmtpResult {
    bool sent = false;
    FailReason reason = FailReason::Other;  // when not sent
    std::string detail;                     // the server's refusing reply, or the transport error
};

// The URL libcurl is given for the SERVER argument whose checked form is `url`
// ("smtp://host:port"; MailJob::url): a URL given as SERVER (`serverIsUrl`) stays as it is;
// otherwise port 465 means TLS from the first byte (smtps), and the path names this host
// (`ehloName`) in EHLO.
std::string SmtpTransferUrl(const std::string& url, bool serverIsUrl, const std::string& ehloName);

// `url` without its path: the server, as messages name it.
std::string SmtpServerText(const std::string& url);

// Sends `job.message` from `job.mailFrom` to `job.rcptTo`.
SmtpResult SendThroughSmtp(const SmtpJob& job);

}  // namespace sendmail

// SendMail: sends one plain-text mail through an SMTP server with libcurl.
//
//   SendMail [options] SERVER FROM TO SUBJECT USER PASSWORD BODYFILE
//
// The agent's mail scripts run it once per recipient with the mail server items (see --help).
// Exit status: 0 sent, 1 the server could not be reached or refused the mail, 2 bad arguments
// or settings, 3 the body file could not be read. Standard output gets one outcome line for the
// agent (MailOutcome.h); the TLS settings come from the agent's settings file (MailerSettings.h).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "SendMailText.h"
#include "platform/HostPaths.h"
#include "sendmail/MailOutcome.h"
#include "sendmail/MailerSettings.h"
#include "sendmail/SmtpSend.h"

namespace {

constexpr int EXIT_SENT = 0;
constexpr int EXIT_SEND_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_BODY_FILE = 3;

constexpr std::streamsize BODY_MAX_BYTES = 10 * 1024 * 1024;

const char USAGE[] =
    "Usage: SendMail [options] SERVER FROM TO SUBJECT USER PASSWORD BODYFILE\n"
    "\n"
    "Sends the text of BODYFILE as one plain-text (UTF-8) mail from FROM to TO.\n"
    "\n"
    "  SERVER    the SMTP server: host or host:port (port 25 when none is given),\n"
    "            [IPv6]:port, or a URL smtp://host:port or smtps://host:port\n"
    "            (smtps: TLS from the start, usually port 465)\n"
    "  FROM      the sender address (raid-agent@example.com)\n"
    "  TO        the recipient address\n"
    "  SUBJECT   the subject line (any UTF-8 text)\n"
    "  USER      the SMTP user name; empty or NULL: no authentication\n"
    "  PASSWORD  the SMTP password (NULL counts as empty)\n"
    "  BODYFILE  the file whose text is the mail body\n"
    "\n"
    "TLS: smtps://host:port and host:465 speak TLS from the first byte; otherwise the\n"
    "connection is upgraded with STARTTLS whenever the server offers it. The server's\n"
    "certificate and host name are always checked.\n"
    "\n"
    "Options:\n"
    "  --config FILE              read the [mail] settings from FILE (default: pellomar.conf\n"
    "                             beside SendMail, else /etc/pellomar/pellomar.conf)\n"
    "  --connect-timeout SECONDS  give up connecting after this long (default 30)\n"
    "  --timeout SECONDS          give up the whole transfer after this long (default 120)\n"
    "  --verbose                  show the SMTP conversation on standard error (the log-in\n"
    "                             included)\n"
    "  --version                  show the version\n"
    "  --help                     show this text\n"
    "\n"
    "Settings ([mail] section of the settings file):\n"
    "  tls = \"auto\"      STARTTLS when offered; in the clear only without a log-in (default)\n"
    "  tls = \"required\"  never anything in the clear: no TLS, no mail\n"
    "  tls = \"none\"      no STARTTLS; the log-in too goes in the clear\n"
    "  ca_file = \"/path/ca.pem\"  trust only the CA certificates of this PEM file (default:\n"
    "                             the system's certificate store)\n"
    "\n"
    "Standard output gets one line: 'MAIL-OUTCOME sent TO' or\n"
    "'MAIL-OUTCOME failed REASON TO DETAIL', REASON one of auth, tls, connect, timeout,\n"
    "refused, usage, body, other.\n"
    "\n"
    "Exit status: 0 sent, 1 not sent (server unreachable, TLS or log-in failed, mail refused),\n"
    "2 bad arguments or settings, 3 the body file could not be read.\n";

// What this run reports on standard output; main() prints it once, on the way out.
sendmail::MailOutcome theOutcome;

int UsageError(const std::string& what) {
    theOutcome.Fail(sendmail::FailReason::Usage, what);
    std::fprintf(stderr, "SendMail: %s\nTry 'SendMail --help' for more information.\n",
                 what.c_str());
    return EXIT_USAGE;
}

// The body file cannot be used: `what` goes to standard error and into the outcome line.
int BodyFileError(const std::string& what) {
    theOutcome.Fail(sendmail::FailReason::Body, what);
    std::fprintf(stderr, "SendMail: %s\n", what.c_str());
    return EXIT_BODY_FILE;
}

// Sends `job` under the [mail] settings of the settings file (`configPath`, or the one found
// beside this program or in /etc/pellomar). A fault in those settings sends nothing: weaker TLS
// than the file asks for is never a fallback.
int Deliver(sendmail::SmtpJob job, const std::string& configPath) {
    char exePath[plat::SRV_PATH_MAX];  // "" when it cannot be told
    plat::GetExecutablePath(exePath, sizeof exePath);
    const sendmail::MailerSettings settings =
        sendmail::ReadMailerSettings(sendmail::FindSettingsFile(configPath, exePath));
    if (!settings.Ok()) {
        for (const std::string& fault : settings.faults)
            std::fprintf(stderr, "SendMail: %s\n", fault.c_str());
        std::fputs("SendMail: no mail is sent until the [mail] settings are mended\n", stderr);
        theOutcome.Fail(sendmail::FailReason::Usage, settings.faults.front());
        return EXIT_USAGE;
    }
    job.tls = settings.tls;
    job.caFile = settings.caFile;
    const sendmail::SmtpResult r = sendmail::SendThroughSmtp(job);
    if (r.sent) return EXIT_SENT;
    const char* what = r.reason == sendmail::FailReason::Auth      ? "the log-in was refused: "
                       : r.reason == sendmail::FailReason::Refused ? "the server refused it: "
                                                                   : "";
    std::fprintf(stderr, "SendMail: sending to %s through %s failed: %s%s\n", job.rcptTo.c_str(),
                 sendmail::SmtpServerText(job.url).c_str(), what, r.detail.c_str());
    theOutcome.Fail(r.reason, r.detail);
    return EXIT_SEND_FAILED;
}

}  // namespace

static int SendOnce(int argc, char** argv) {
    sendmail::CommandLine cl;
    std::string why;
    const bool parsed = sendmail::ParseCommandLine(argc, argv, &cl, &why);
    if (cl.help || cl.version) {
        theOutcome.Silence();
        std::fputs(cl.help ? USAGE : "SendMail " PELLOMAR_VERSION "\n", stdout);
        return EXIT_SENT;
    }
    if (!parsed) return UsageError(why);
    const std::vector<std::string>& args = cl.args;
    if (args.size() > 2) theOutcome.SetRecipient(args[2]);
    sendmail::MailJob mail;
    if (!sendmail::CheckMailArgs(args, &mail, &why)) return UsageError(why);
    theOutcome.SetBareAddress(mail.toEnvelope);
    const std::string& bodyPath = args[6];

    std::ifstream in(bodyPath, std::ios::binary);
    if (!in) {
        const std::string reason = std::strerror(errno);
        return BodyFileError("cannot read the body file '" + bodyPath + "': " + reason);
    }
    std::ostringstream bodyStream;
    bodyStream << in.rdbuf();
    const std::string body = bodyStream.str();
    if (in.bad() || static_cast<std::streamsize>(body.size()) > BODY_MAX_BYTES)
        return BodyFileError("the body file '" + bodyPath + "' " +
                             (in.bad() ? "could not be read" : "is larger than 10 MiB"));

    sendmail::SmtpJob job;
    job.url = sendmail::SmtpTransferUrl(mail.url, mail.serverIsUrl, sendmail::LocalHostName());
    job.mailFrom = mail.fromEnvelope;
    job.rcptTo = mail.toEnvelope;
    job.authenticate = mail.authenticate;
    job.user = args[4];
    job.password = mail.password;
    job.message = sendmail::BuildMessage(args[1], args[2], args[3], body, sendmail::DateHeader(),
                                         sendmail::MessageId(mail.fromEnvelope));
    job.connectTimeoutS = cl.connectTimeout;
    job.totalTimeoutS = cl.totalTimeout;
    job.verbose = cl.verbose;
    return Deliver(job, cl.configPath);
}

int main(int argc, char** argv) {
    const int code = SendOnce(argc, argv);
    theOutcome.Print(code);
    return code;
}

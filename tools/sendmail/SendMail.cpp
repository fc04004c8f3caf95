// SendMail: sends one plain-text mail through an SMTP server with libcurl.
//
//   SendMail [options] SERVER FROM TO SUBJECT USER PASSWORD BODYFILE
//
// The agent's mail scripts run it once per recipient with the mail server items (see --help).
// Exit status: 0 sent, 1 the server could not be reached or refused the mail, 2 bad arguments
// or settings, 3 the body file could not be read. Standard output gets one outcome line for the
// agent (MailOutcome.h); the TLS settings come from the agent's settings file (MailerSettings.h).
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/PortText.h"
#include "sendmail/MailOutcome.h"
#include "sendmail/MailerSettings.h"
#include "sendmail/SmtpSend.h"

namespace {

constexpr int EXIT_SENT = 0;
constexpr int EXIT_SEND_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_BODY_FILE = 3;

constexpr long DEFAULT_CONNECT_TIMEOUT_S = 30;
constexpr long DEFAULT_TOTAL_TIMEOUT_S = 120;
constexpr std::streamsize BODY_MAX_BYTES = 10 * 1024 * 1024;
constexpr const char* DEFAULT_SMTP_PORT = "25";

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

bool IsNullText(const std::string& s) {
    return s == "NULL";
}

bool HasLineBreakOrNul(const std::string& s) {
    return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

bool IsHostText(const std::string& h) {
    if (h.empty()) return false;
    for (unsigned char c : h)
        if (c <= ' ' || c == 0x7F || std::strchr("/?#@[]\\'\"<>", c) != nullptr) return false;
    return true;
}

bool IsIpv6Text(const std::string& a) {
    if (a.find(':') == std::string::npos) return false;
    for (unsigned char c : a)
        if (!std::isxdigit(c) && c != ':' && c != '.') return false;
    return true;
}

// SERVER as a libcurl URL ("smtp://host:port"), or an empty text when it is not usable.
std::string ServerUrl(const std::string& server, std::string* why) {
    if (server.find("://") != std::string::npos) {
        if (server.rfind("smtp://", 0) == 0 || server.rfind("smtps://", 0) == 0) return server;
        *why = "SERVER '" + server + "' must be host, host:port, smtp://... or smtps://...";
        return "";
    }
    std::string host, port = DEFAULT_SMTP_PORT;
    if (!server.empty() && server[0] == '[') {
        size_t close = server.find(']');
        if (close == std::string::npos) {
            *why = "SERVER '" + server + "': missing ']' after the IPv6 address";
            return "";
        }
        host = server.substr(0, close + 1);
        std::string rest = server.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') {
                *why = "SERVER '" + server + "': expected ':port' after ']'";
                return "";
            }
            port = rest.substr(1);
        }
        if (!IsIpv6Text(host.substr(1, host.size() - 2))) {
            *why = "SERVER '" + server + "': not an IPv6 address";
            return "";
        }
    } else {
        size_t colon = server.find(':');
        if (colon != std::string::npos && server.find(':', colon + 1) != std::string::npos) {
            // A bare IPv6 address: no port can follow it.
            if (!IsIpv6Text(server)) {
                *why = "SERVER '" + server + "': not an IPv6 address (write [address]:port)";
                return "";
            }
            host = "[" + server + "]";
        } else {
            host = colon != std::string::npos ? server.substr(0, colon) : server;
            if (colon != std::string::npos) port = server.substr(colon + 1);
            if (!IsHostText(host)) {
                *why = "SERVER '" + server + "' is not a host name or address";
                return "";
            }
        }
    }
    if (!port_text::ParsePort(port.data(), port.size(), nullptr)) {
        *why = "SERVER '" + server + "': the port must be a number from 1 to 65535";
        return "";
    }
    return "smtp://" + host + ":" + port;
}

// An address argument: "a@b" or "Name <a@b>". Gives the bare address for the SMTP envelope.
bool ParseAddress(const std::string& arg, const char* role, std::string* envelope,
                  std::string* why) {
    if (arg.empty() || IsNullText(arg)) {
        *why = std::string(role) + " is " + (arg.empty() ? "empty" : "NULL") + ": give " +
               (std::strcmp(role, "FROM") == 0 ? "the sender address (mail server item 2)"
                                               : "the recipient address");
        return false;
    }
    if (HasLineBreakOrNul(arg)) {
        *why = std::string(role) + " must not contain a line break";
        return false;
    }
    std::string bare = arg;
    size_t open = arg.rfind('<');
    if (open != std::string::npos) {
        size_t close = arg.find('>', open);
        if (close == std::string::npos || close != arg.size() - 1) {
            *why = std::string(role) + " '" + arg + "': expected 'Name <address>'";
            return false;
        }
        bare = arg.substr(open + 1, close - open - 1);
    }
    if (bare.empty() || bare.find_first_of(" \t<>") != std::string::npos) {
        *why = std::string(role) + " '" + arg + "' is not a mail address";
        return false;
    }
    *envelope = bare;
    return true;
}

bool IsPlainAscii(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

std::string Base64(const std::string& in) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                     (static_cast<unsigned char>(in[i + 1]) << 8) |
                     static_cast<unsigned char>(in[i + 2]);
        out += digits[(v >> 18) & 63];
        out += digits[(v >> 12) & 63];
        out += digits[(v >> 6) & 63];
        out += digits[v & 63];
    }
    if (i < in.size()) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        out += digits[(v >> 18) & 63];
        out += digits[(v >> 12) & 63];
        out += i + 1 < in.size() ? digits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// The Subject header's value: plain ASCII as it stands, anything else as UTF-8 encoded words of
// at most 45 bytes each (60 base64 digits), never splitting a character, folded onto lines.
std::string EncodeSubject(const std::string& subject) {
    if (IsPlainAscii(subject)) return subject;
    std::string out;
    size_t i = 0;
    while (i < subject.size()) {
        size_t end = i;
        while (end < subject.size()) {
            size_t next = end + 1;
            while (next < subject.size() &&
                   (static_cast<unsigned char>(subject[next]) & 0xC0) == 0x80)
                ++next;
            if (next - i > 45 && end > i) break;
            end = next;
        }
        if (!out.empty()) out += "\r\n ";
        out += "=?UTF-8?B?" + Base64(subject.substr(i, end - i)) + "?=";
        i = end;
    }
    return out;
}

// The body's lines, with any line end (CRLF, LF or CR) taken as one break.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string cur;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(cur);
            cur.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) lines.push_back(cur);
    return lines;
}

bool NeedsQuotedPrintable(const std::vector<std::string>& lines) {
    for (const std::string& l : lines) {
        if (l.size() > 998) return true;
        for (unsigned char c : l)
            if ((c < 0x20 && c != '\t') || c > 0x7E) return true;
    }
    return false;
}

// Quoted-printable (RFC 2045): lines of at most 76 characters with soft breaks.
std::string QuotedPrintableLine(const std::string& line) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    size_t width = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        bool last = i + 1 == line.size();
        std::string piece;
        if (c == '=' || (c < 0x20 && c != '\t') || c > 0x7E || ((c == ' ' || c == '\t') && last)) {
            piece = {'=', hex[c >> 4], hex[c & 15]};
        } else {
            piece = std::string(1, static_cast<char>(c));
        }
        if (width + piece.size() > (last ? 76u : 75u)) {
            out += "=\r\n";
            width = 0;
        }
        out += piece;
        width += piece.size();
    }
    return out;
}

std::string DateHeader() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S %z", &tm);
    return buf;
}

std::string LocalHostName() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') return "localhost";
    for (const char* p = buf; *p != '\0'; ++p)
        if (!std::isalnum(static_cast<unsigned char>(*p)) && *p != '-' && *p != '.')
            return "localhost";
    return buf;
}

std::string MessageId(const std::string& fromEnvelope) {
    std::string domain;
    size_t at = fromEnvelope.rfind('@');
    if (at != std::string::npos) domain = fromEnvelope.substr(at + 1);
    if (domain.empty() || !IsPlainAscii(domain) || domain.find_first_of(" <>") != std::string::npos)
        domain = LocalHostName();
    std::random_device rd;
    char buf[96];
    std::snprintf(buf, sizeof buf, "%lld.%d.%08x%08x", static_cast<long long>(std::time(nullptr)),
                  static_cast<int>(getpid()), rd(), rd());
    return "<" + std::string(buf) + "@" + domain + ">";
}

struct Upload {
    std::string text;
    size_t offset = 0;
};

// The place of the password among the seven arguments.
constexpr size_t ARG_PASSWORD = 5;

bool ParseSeconds(const char* s, long* out) {
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (end == s || *end != '\0' || v < 1 || v > 86400) return false;
    *out = v;
    return true;
}

// Sends `job` under the [mail] settings of the settings file (`configPath`, or the one found
// beside this program or in /etc/pellomar). A fault in those settings sends nothing: weaker TLS
// than the file asks for is never a fallback.
int Deliver(sendmail::SmtpJob job, const std::string& configPath) {
    const sendmail::MailerSettings settings = sendmail::ReadMailerSettings(
        sendmail::FindSettingsFile(configPath, sendmail::OwnExecutablePath()));
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
    long connectTimeout = DEFAULT_CONNECT_TIMEOUT_S;
    long totalTimeout = DEFAULT_TOTAL_TIMEOUT_S;
    bool verbose = false;
    std::string configPath;
    std::vector<std::string> args;
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (!optionsDone && a == "--") {
            optionsDone = true;
        } else if (!optionsDone && (a == "--help" || a == "-h")) {
            theOutcome.Silence();
            std::fputs(USAGE, stdout);
            return EXIT_SENT;
        } else if (!optionsDone && a == "--version") {
            theOutcome.Silence();
            std::fputs("SendMail " PELLOMAR_VERSION "\n", stdout);
            return EXIT_SENT;
        } else if (!optionsDone && a == "--verbose") {
            verbose = true;
        } else if (!optionsDone && a == "--config") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0')
                return UsageError("--config needs the settings file's name");
            configPath = argv[++i];
        } else if (!optionsDone && (a == "--connect-timeout" || a == "--timeout")) {
            long* target = a == "--timeout" ? &totalTimeout : &connectTimeout;
            if (i + 1 >= argc || !ParseSeconds(argv[i + 1], target))
                return UsageError(a + " needs a number of seconds from 1 to 86400");
            ++i;
        } else if (!optionsDone && a.size() > 2 && a.rfind("--", 0) == 0) {
            return UsageError("unknown option '" + a + "'");
        } else {
            // The first argument ends the options: the texts that follow are the mail settings,
            // which may well begin with a '-'.
            optionsDone = true;
            args.push_back(a);
            // The password is blanked in the argument list at once, so that other users do not
            // read it from the process list for as long as the mail takes.
            if (args.size() == ARG_PASSWORD + 1) std::memset(argv[i], '*', a.size());
        }
    }
    if (args.size() > 2) theOutcome.SetRecipient(args[2]);
    if (args.size() != 7)
        return UsageError(
            "expected 7 arguments (SERVER FROM TO SUBJECT USER PASSWORD BODYFILE), got " +
            std::to_string(args.size()));
    const std::string& server = args[0];
    const std::string& from = args[1];
    const std::string& to = args[2];
    const std::string& subject = args[3];
    const std::string& user = args[4];
    std::string password = IsNullText(args[ARG_PASSWORD]) ? std::string() : args[ARG_PASSWORD];
    const std::string& bodyPath = args[6];

    std::string why;
    if (server.empty() || IsNullText(server))
        return UsageError("SERVER is " + std::string(server.empty() ? "empty" : "NULL") +
                          ": set mail server item 1 to the SMTP server (host or host:port)");
    std::string url = ServerUrl(server, &why);
    if (url.empty()) return UsageError(why);
    std::string fromEnvelope, toEnvelope;
    if (!ParseAddress(from, "FROM", &fromEnvelope, &why)) return UsageError(why);
    if (!ParseAddress(to, "TO", &toEnvelope, &why)) return UsageError(why);
    if (HasLineBreakOrNul(subject)) return UsageError("SUBJECT must not contain a line break");
    bool authenticate = !user.empty() && !IsNullText(user);
    theOutcome.SetBareAddress(toEnvelope);

    std::ifstream in(bodyPath, std::ios::binary);
    if (!in) {
        const std::string reason = std::strerror(errno);
        std::fprintf(stderr, "SendMail: cannot read the body file '%s': %s\n", bodyPath.c_str(),
                     reason.c_str());
        theOutcome.Fail(sendmail::FailReason::Body,
                        "cannot read the body file '" + bodyPath + "': " + reason);
        return EXIT_BODY_FILE;
    }
    std::ostringstream bodyStream;
    bodyStream << in.rdbuf();
    std::string body = bodyStream.str();
    if (in.bad() || static_cast<std::streamsize>(body.size()) > BODY_MAX_BYTES) {
        const char* reason = in.bad() ? "could not be read" : "is larger than 10 MiB";
        std::fprintf(stderr, "SendMail: the body file '%s' %s\n", bodyPath.c_str(), reason);
        theOutcome.Fail(sendmail::FailReason::Body, "the body file '" + bodyPath + "' " + reason);
        return EXIT_BODY_FILE;
    }

    std::vector<std::string> lines = SplitLines(body);
    bool qp = NeedsQuotedPrintable(lines);
    Upload up;
    up.text = "Date: " + DateHeader() + "\r\n";
    up.text += "Message-ID: " + MessageId(fromEnvelope) + "\r\n";
    up.text += "From: " + from + "\r\n";
    up.text += "To: " + to + "\r\n";
    up.text += "Subject: " + EncodeSubject(subject) + "\r\n";
    up.text += "MIME-Version: 1.0\r\n";
    up.text += "Content-Type: text/plain; charset=UTF-8\r\n";
    up.text += std::string("Content-Transfer-Encoding: ") + (qp ? "quoted-printable" : "7bit") +
               "\r\n\r\n";
    // libcurl doubles a '.' at the start of a line itself (SMTP dot-stuffing).
    for (const std::string& l : lines)
        up.text += (qp ? QuotedPrintableLine(l) : l) + "\r\n";

    sendmail::SmtpJob job;
    job.url = sendmail::SmtpTransferUrl(server, url, LocalHostName());
    job.mailFrom = fromEnvelope;
    job.rcptTo = toEnvelope;
    job.authenticate = authenticate;
    job.user = user;
    job.password = password;
    job.message = std::move(up.text);
    job.connectTimeoutS = connectTimeout;
    job.totalTimeoutS = totalTimeout;
    job.verbose = verbose;
    return Deliver(job, configPath);
}

int main(int argc, char** argv) {
    const int code = SendOnce(argc, argv);
    theOutcome.Print(code);
    return code;
}

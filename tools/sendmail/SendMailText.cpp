#include "SendMailText.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

#include "common/PortText.h"

namespace sendmail {

namespace {

constexpr const char* DEFAULT_SMTP_PORT = "25";

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

bool ParseSeconds(const char* s, long* out) {
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (end == s || *end != '\0' || v < 1 || v > 86400) return false;
    *out = v;
    return true;
}

}  // namespace

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

bool ParseCommandLine(int argc, char** argv, CommandLine* cl, std::string* why) {
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (!optionsDone && a == "--") {
            optionsDone = true;
        } else if (!optionsDone && (a == "--help" || a == "-h")) {
            cl->help = true;
            return true;
        } else if (!optionsDone && a == "--version") {
            cl->version = true;
            return true;
        } else if (!optionsDone && a == "--verbose") {
            cl->verbose = true;
        } else if (!optionsDone && a == "--config") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                *why = "--config needs the settings file's name";
                return false;
            }
            cl->configPath = argv[++i];
        } else if (!optionsDone && (a == "--connect-timeout" || a == "--timeout")) {
            long* target = a == "--timeout" ? &cl->totalTimeout : &cl->connectTimeout;
            if (i + 1 >= argc || !ParseSeconds(argv[i + 1], target)) {
                *why = a + " needs a number of seconds from 1 to 86400";
                return false;
            }
            ++i;
        } else if (!optionsDone && a.size() > 2 && a.rfind("--", 0) == 0) {
            *why = "unknown option '" + a + "'";
            return false;
        } else {
            // The first argument ends the options: the texts that follow are the mail settings,
            // which may well begin with a '-'.
            optionsDone = true;
            cl->args.push_back(a);
            // The password is blanked in the argument list at once, so that other users do not
            // read it from the process list for as long as the mail takes.
            if (cl->args.size() == ARG_PASSWORD + 1) std::memset(argv[i], '*', a.size());
        }
    }
    return true;
}

bool CheckMailArgs(const std::vector<std::string>& args, MailJob* job, std::string* why) {
    if (args.size() != 7) {
        *why = "expected 7 arguments (SERVER FROM TO SUBJECT USER PASSWORD BODYFILE), got " +
               std::to_string(args.size());
        return false;
    }
    const std::string& server = args[0];
    const std::string& from = args[1];
    const std::string& to = args[2];
    const std::string& subject = args[3];
    const std::string& user = args[4];
    if (server.empty() || IsNullText(server)) {
        *why = "SERVER is " + std::string(server.empty() ? "empty" : "NULL") +
               ": set mail server item 1 to the SMTP server (host or host:port)";
        return false;
    }
    job->url = ServerUrl(server, why);
    if (job->url.empty()) return false;
    job->serverIsUrl = server.find("://") != std::string::npos;
    if (!ParseAddress(from, "FROM", &job->fromEnvelope, why)) return false;
    if (!ParseAddress(to, "TO", &job->toEnvelope, why)) return false;
    if (HasLineBreakOrNul(subject)) {
        *why = "SUBJECT must not contain a line break";
        return false;
    }
    job->authenticate = !user.empty() && !IsNullText(user);
    job->password = IsNullText(args[ARG_PASSWORD]) ? std::string() : args[ARG_PASSWORD];
    return true;
}

std::string BuildMessage(const std::string& from, const std::string& to, const std::string& subject,
                         const std::string& body, const std::string& date,
                         const std::string& messageId) {
    std::vector<std::string> lines = SplitLines(body);
    bool qp = NeedsQuotedPrintable(lines);
    std::string text = "Date: " + date + "\r\n";
    text += "Message-ID: " + messageId + "\r\n";
    text += "From: " + from + "\r\n";
    text += "To: " + to + "\r\n";
    text += "Subject: " + EncodeSubject(subject) + "\r\n";
    text += "MIME-Version: 1.0\r\n";
    text += "Content-Type: text/plain; charset=UTF-8\r\n";
    text += std::string("Content-Transfer-Encoding: ") + (qp ? "quoted-printable" : "7bit") +
            "\r\n\r\n";
    // libcurl doubles a '.' at the start of a line itself (SMTP dot-stuffing).
    for (const std::string& l : lines)
        text += (qp ? QuotedPrintableLine(l) : l) + "\r\n";
    return text;
}

}  // namespace sendmail

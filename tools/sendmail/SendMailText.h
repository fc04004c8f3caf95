// SendMail's command line and the text of its mail, apart from the sending (SendMail.cpp): the
// options and the seven arguments are read and checked, and the message is built, without any
// connection or file.
#pragma once

#include <string>
#include <vector>

namespace sendmail {

constexpr long DEFAULT_CONNECT_TIMEOUT_S = 30;
constexpr long DEFAULT_TOTAL_TIMEOUT_S = 120;

// The place of the password among the seven arguments.
constexpr size_t ARG_PASSWORD = 5;

// What the command line says.
struct CommandLine {
    long connectTimeout = DEFAULT_CONNECT_TIMEOUT_S;
    long totalTimeout = DEFAULT_TOTAL_TIMEOUT_S;
    bool verbose = false;
    bool help = false;              // --help or -h: show the usage and send nothing
    bool version = false;           // --version: show the version and send nothing
    std::string configPath;         // --config FILE: the settings file ("" : the usual places)
    std::vector<std::string> args;  // the arguments after the options, as they stand
};

// Reads the options (only before the first argument, or up to "--") and the arguments of
// argv[1] to argv[argc - 1]. The password argument is blanked in argv at once ('*' for each
// character), so that other users do not read it from the process list. Stops at --help and
// --version.
// Returns false with the usage error in *why for an unknown option or a bad option value.
bool ParseCommandLine(int argc, char** argv, CommandLine* cl, std::string* why);

// The seven arguments, checked.
struct MailJob {
    std::string url;           // libcurl's URL of SERVER ("smtp://host:port", or SERVER's URL)
    bool serverIsUrl = false;  // SERVER was given as a URL (kept as it stands)
    std::string fromEnvelope;  // the bare addresses, for the SMTP envelope
    std::string toEnvelope;
    bool authenticate = false;  // USER is neither empty nor NULL
    std::string password;       // PASSWORD, empty for NULL
};

// Checks SERVER FROM TO SUBJECT USER PASSWORD BODYFILE (the count, the server, the addresses,
// the subject) in this order. Returns false with the usage error in *why for the first fault.
bool CheckMailArgs(const std::vector<std::string>& args, MailJob* job, std::string* why);

// The whole message: the headers (Date and Message-ID as given) and the body, whose lines end
// in CRLF whatever their line ends were, quoted-printable when it is not 7-bit text with lines
// of at most 998 bytes.
std::string BuildMessage(const std::string& from, const std::string& to, const std::string& subject,
                         const std::string& body, const std::string& date,
                         const std::string& messageId);

// The Date header's value for now, and a fresh Message-ID for a mail from `fromEnvelope`.
std::string DateHeader();
std::string MessageId(const std::string& fromEnvelope);
// This host's name as EHLO gives it ("localhost" when it is not a plain host name).
std::string LocalHostName();

}  // namespace sendmail

// SendMail's command line and message (tools/sendmail/SendMailText.h); nothing is sent and no
// connection or file is opened.
//
// Input: the command-line words separated by NUL bytes, up to an empty word (two NULs in a row);
// what follows is the mail body.
//
// Checks: the password argument is blanked in the argument list; arguments that pass are safe
// to hand on: a server given as host[:port] becomes a URL without blanks or control characters,
// the envelope addresses hold no line break, NUL, blank or angle bracket; the message holds no
// NUL, every line ends in CRLF and no argument can add or split a header line.
#include <cstring>
#include <string>
#include <vector>

#include "sendmail/SendMailText.h"
#include "support/FuzzSupport.h"

namespace {

bool HasControlOrBlank(const std::string& s) {
    for (unsigned char c : s)
        if (c <= ' ' || c == 0x7F) return true;
    return false;
}

void CheckMessage(const std::string& m) {
    FUZZ_CHECK(m.find('\0') == std::string::npos);
    for (size_t i = 0; i < m.size(); ++i) {
        if (m[i] == '\r') FUZZ_CHECK(i + 1 < m.size() && m[i + 1] == '\n');
        if (m[i] == '\n') FUZZ_CHECK(i > 0 && m[i - 1] == '\r');
    }
    FUZZ_CHECK(m.size() >= 2 && m.compare(m.size() - 2, 2, "\r\n") == 0);
    // The headers end at the first empty line; each one starts with a name or folds (a blank).
    const size_t end = m.find("\r\n\r\n");
    FUZZ_CHECK(end != std::string::npos);
    size_t at = 0;
    int headers = 0;
    while (at < end + 2) {
        const size_t eol = m.find("\r\n", at);
        const std::string line = m.substr(at, eol - at);
        FUZZ_CHECK(!line.empty());
        if (line[0] != ' ') {
            ++headers;
            FUZZ_CHECK(line.find(": ") != std::string::npos);
        }
        at = eol + 2;
    }
    FUZZ_CHECK(headers == 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> words = {"SendMail"};
    size_t at = 0;
    std::string body;
    for (;;) {
        const size_t nul = in.find('\0', at);
        if (nul == std::string::npos) {
            words.push_back(in.substr(at));
            break;
        }
        if (nul == at) {
            body = in.substr(at + 1);
            break;
        }
        words.push_back(in.substr(at, nul - at));
        at = nul + 1;
    }
    if (words.size() > 64) return -1;

    std::vector<std::vector<char>> store;
    std::vector<char*> argv;
    for (const std::string& w : words) {
        store.emplace_back(w.begin(), w.end());
        store.back().push_back('\0');
    }
    for (auto& s : store)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    sendmail::CommandLine cl;
    std::string why;
    const bool parsed =
        sendmail::ParseCommandLine(static_cast<int>(words.size()), argv.data(), &cl, &why);
    if (!parsed) FUZZ_CHECK(!why.empty());
    if (!parsed || cl.help) return 0;
    FUZZ_CHECK(cl.connectTimeout >= 1 && cl.connectTimeout <= 86400);
    FUZZ_CHECK(cl.totalTimeout >= 1 && cl.totalTimeout <= 86400);
    if (cl.args.size() > sendmail::ARG_PASSWORD) {
        // The password's word in argv is all '*' now.
        const std::string& pw = cl.args[sendmail::ARG_PASSWORD];
        bool found = false;
        for (size_t i = 1; i < words.size() && !found; ++i)
            found = words[i] == pw && std::string(argv[i]) == std::string(pw.size(), '*');
        FUZZ_CHECK(found);
    }

    sendmail::MailJob job;
    if (!sendmail::CheckMailArgs(cl.args, &job, &why)) {
        FUZZ_CHECK(!why.empty());
        return 0;
    }
    FUZZ_CHECK(job.url.rfind("smtp://", 0) == 0 || job.url.rfind("smtps://", 0) == 0);
    // A URL is handed to libcurl as it stands (libcurl refuses a malformed one); a host or
    // host:port becomes a URL here, which must be one.
    if (!job.serverIsUrl) FUZZ_CHECK(!HasControlOrBlank(job.url));
    for (const std::string* env : {&job.fromEnvelope, &job.toEnvelope}) {
        FUZZ_CHECK(!env->empty());
        FUZZ_CHECK(env->find_first_of(std::string("\r\n\0 \t<>", 7)) == std::string::npos);
    }
    CheckMessage(sendmail::BuildMessage(cl.args[1], cl.args[2], cl.args[3], body,
                                        "Thu, 01 Jan 1970 00:00:00 +0000", "<1.2.3@example.com>"));
    return 0;
}

// SendMail: sends one plain-text mail through an SMTP server with libcurl.
//
//   SendMail [options] SERVER FROM TO SUBJECT USER PASSWORD BODYFILE
//
// The agent's mail scripts run it once per recipient with the mail server items (see --help).
// Exit status: 0 sent, 1 the server could not be reached or refused the mail, 2 bad arguments,
// 3 the body file could not be read.
#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "SendMailText.h"

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
    "  FROM      the sender address, bare (admin@example.com) or with a name\n"
    "            (Raid Admin <admin@example.com>)\n"
    "  TO        the recipient address, in the same forms\n"
    "  SUBJECT   the subject line (any UTF-8 text)\n"
    "  USER      the SMTP user name; empty or NULL: no authentication\n"
    "  PASSWORD  the SMTP password (NULL counts as empty)\n"
    "  BODYFILE  the file whose text is the mail body\n"
    "\n"
    "The connection is upgraded with STARTTLS whenever the server offers it (the server's\n"
    "certificate is then verified).\n"
    "\n"
    "Options:\n"
    "  --connect-timeout SECONDS  give up connecting after this long (default 30)\n"
    "  --timeout SECONDS          give up the whole transfer after this long (default 120)\n"
    "  --verbose                  show the SMTP conversation on standard error\n"
    "  --help                     show this text\n"
    "\n"
    "Exit status: 0 sent, 1 not sent (server unreachable or mail refused), 2 bad arguments,\n"
    "3 the body file could not be read.\n";

int UsageError(const std::string& what) {
    std::fprintf(stderr, "SendMail: %s\nTry 'SendMail --help' for more information.\n",
                 what.c_str());
    return EXIT_USAGE;
}

struct Upload {
    std::string text;
    size_t offset = 0;
};

size_t ReadUpload(char* dst, size_t size, size_t nitems, void* userp) {
    auto* up = static_cast<Upload*>(userp);
    size_t room = size * nitems;
    size_t n = std::min(room, up->text.size() - up->offset);
    std::memcpy(dst, up->text.data() + up->offset, n);
    up->offset += n;
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    sendmail::CommandLine cl;
    std::string why;
    if (!sendmail::ParseCommandLine(argc, argv, &cl, &why)) return UsageError(why);
    if (cl.help) {
        std::fputs(USAGE, stdout);
        return EXIT_SENT;
    }
    sendmail::MailJob job;
    if (!sendmail::CheckMailArgs(cl.args, &job, &why)) return UsageError(why);
    const std::string& from = cl.args[1];
    const std::string& to = cl.args[2];
    const std::string& subject = cl.args[3];
    const std::string& user = cl.args[4];
    const std::string& bodyPath = cl.args[6];

    std::ifstream in(bodyPath, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "SendMail: cannot read the body file '%s': %s\n", bodyPath.c_str(),
                     std::strerror(errno));
        return EXIT_BODY_FILE;
    }
    std::ostringstream bodyStream;
    bodyStream << in.rdbuf();
    std::string body = bodyStream.str();
    if (in.bad() || static_cast<std::streamsize>(body.size()) > BODY_MAX_BYTES) {
        std::fprintf(stderr, "SendMail: the body file '%s' %s\n", bodyPath.c_str(),
                     in.bad() ? "could not be read" : "is larger than 10 MiB");
        return EXIT_BODY_FILE;
    }

    Upload up;
    up.text = sendmail::BuildMessage(from, to, subject, body, sendmail::DateHeader(),
                                     sendmail::MessageId(job.fromEnvelope));

    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        std::fputs("SendMail: libcurl could not be initialised\n", stderr);
        return EXIT_SEND_FAILED;
    }
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        std::fputs("SendMail: libcurl could not be initialised\n", stderr);
        curl_global_cleanup();
        return EXIT_SEND_FAILED;
    }
    char errbuf[CURL_ERROR_SIZE] = {};
    std::string mailFrom = "<" + job.fromEnvelope + ">";
    curl_slist* rcpt = curl_slist_append(nullptr, ("<" + job.toEnvelope + ">").c_str());
    // The URL's path is the name this host gives in EHLO (a URL given as SERVER is kept).
    std::string fullUrl = job.serverIsUrl ? job.url : job.url + "/" + sendmail::LocalHostName();

    curl_easy_setopt(curl, CURLOPT_URL, fullUrl.c_str());
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
#endif
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, cl.connectTimeout);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, cl.totalTimeout);
    curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_TRY));
    if (job.authenticate) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, job.password.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, mailFrom.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, &ReadUpload);
    curl_easy_setopt(curl, CURLOPT_READDATA, &up);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(up.text.size()));
    if (cl.verbose) curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);

    CURLcode res = curl_easy_perform(curl);
    long reply = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply);
    curl_slist_free_all(rcpt);
    curl_easy_cleanup(curl);
    curl_global_cleanup();
    if (res != CURLE_OK) {
        std::string detail = errbuf[0] != '\0' ? errbuf : curl_easy_strerror(res);
        std::fprintf(stderr, "SendMail: sending to %s through %s failed: %s",
                     job.toEnvelope.c_str(), job.url.c_str(), detail.c_str());
        if (reply != 0) std::fprintf(stderr, " (last server reply %ld)", reply);
        std::fputc('\n', stderr);
        return EXIT_SEND_FAILED;
    }
    return EXIT_SENT;
}

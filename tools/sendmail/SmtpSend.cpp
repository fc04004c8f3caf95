#include "sendmail/SmtpSend.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace sendmail {

namespace {

constexpr const char* IMPLICIT_TLS_PORT = "465";

struct Upload {
    const std::string* text = nullptr;
    size_t offset = 0;
};

size_t ReadUpload(char* dst, size_t size, size_t nitems, void* userp) {
    auto* up = static_cast<Upload*>(userp);
    const size_t n = std::min(size * nitems, up->text->size() - up->offset);
    std::memcpy(dst, up->text->data() + up->offset, n);
    up->offset += n;
    return n;
}

bool IsReplyCode(const std::string& line) {
    return line.size() >= 3 && line[0] >= '2' && line[0] <= '5' && line[1] >= '0' &&
           line[1] <= '9' && line[2] >= '0' && line[2] <= '9';
}

// The server's side of the conversation, as libcurl hands it over line by line.
struct Replies {
    std::string current;         // the lines so far of a reply of several lines
    std::string lastError;       // the last 4xx or 5xx reply, its lines joined by blanks
    bool answeredSince = false;  // a reply other than 221 (the answer to QUIT) came after it
};

size_t OnReplyLine(char* data, size_t size, size_t nitems, void* userp) {
    auto* r = static_cast<Replies*>(userp);
    const size_t n = size * nitems;
    std::string line(data, n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (!IsReplyCode(line)) return n;
    if (!r->current.empty()) r->current += ' ';
    r->current += line;
    if (line.size() > 3 && line[3] == '-') return n;  // more lines of this reply follow
    if (line[0] == '4' || line[0] == '5') {
        r->lastError = r->current;
        r->answeredSince = false;
    } else if (line.compare(0, 3, "221") != 0) {
        r->answeredSince = true;
    }
    r->current.clear();
    return n;
}

bool IsTlsError(CURLcode c) {
    switch (c) {
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_USE_SSL_FAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CLIENTCERT:
            return true;
        default:
            return false;
    }
}

SmtpResult Classify(CURLcode res, const std::string& error, const Replies& replies,
                    const SmtpJob& job) {
    SmtpResult r;
    const bool refusedLast = !replies.lastError.empty() && !replies.answeredSince;
    r.detail = refusedLast ? replies.lastError : error;
    if (res == CURLE_LOGIN_DENIED || res == CURLE_AUTH_ERROR) {
        r.reason = FailReason::Auth;
        if (!refusedLast)
            r.detail = error + ": the server offers no log-in (AUTH) that this mailer can use";
    } else if (res == CURLE_USE_SSL_FAILED && !refusedLast) {
        // The server's EHLO offered no STARTTLS.
        r.reason = FailReason::Tls;
        r.detail = job.tls == TlsPolicy::Required
                       ? "the server offers no STARTTLS and mail.tls is \"required\""
                       : "the server offers no STARTTLS, and the password is never sent "
                         "unencrypted (unless mail.tls is \"none\")";
    } else if (IsTlsError(res)) {
        r.reason = FailReason::Tls;
    } else if (res == CURLE_COULDNT_CONNECT || res == CURLE_COULDNT_RESOLVE_HOST ||
               res == CURLE_COULDNT_RESOLVE_PROXY) {
        r.reason = FailReason::Connect;
        r.detail = error;
    } else if (res == CURLE_OPERATION_TIMEDOUT) {
        r.reason = FailReason::Timeout;
        r.detail = error;
    } else if (refusedLast) {
        r.reason = FailReason::Refused;
    } else {
        r.reason = FailReason::Other;
    }
    return r;
}

struct CurlCleanup {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistCleanup {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

}  // namespace

std::string SmtpTransferUrl(const std::string& url, bool serverIsUrl, const std::string& ehloName) {
    if (serverIsUrl) return url;
    std::string out = url;
    const size_t colon = out.rfind(':');
    if (colon != std::string::npos &&
        out.compare(colon + 1, std::string::npos, IMPLICIT_TLS_PORT) == 0 &&
        out.rfind("smtp://", 0) == 0)
        out.insert(4, "s");
    return out + "/" + ehloName;
}

std::string SmtpServerText(const std::string& url) {
    const size_t scheme = url.find("://");
    const size_t path = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    return path == std::string::npos ? url : url.substr(0, path);
}

SmtpResult SendThroughSmtp(const SmtpJob& job) {
    SmtpResult failed;
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        failed.detail = "libcurl could not be initialised";
        return failed;
    }
    std::unique_ptr<CURL, CurlCleanup> curl(curl_easy_init());
    if (!curl) {
        curl_global_cleanup();
        failed.detail = "libcurl could not be initialised";
        return failed;
    }
    CURL* c = curl.get();
    char errbuf[CURL_ERROR_SIZE] = {};
    const std::string mailFrom = "<" + job.mailFrom + ">";
    std::unique_ptr<curl_slist, SlistCleanup> rcpt(
        curl_slist_append(nullptr, ("<" + job.rcptTo + ">").c_str()));
    Upload up{&job.message, 0};
    Replies replies;
    const bool implicitTls = job.url.rfind("smtps://", 0) == 0;

    curl_easy_setopt(c, CURLOPT_URL, job.url.c_str());
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
#endif
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, job.connectTimeoutS);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, job.totalTimeoutS);

    // STARTTLS: required when the settings say so, and whenever a password is to be sent
    // unless they allow the clear; tried when offered otherwise; never under "none".
    long useSsl = CURLUSESSL_TRY;
    if (implicitTls || job.tls == TlsPolicy::Required ||
        (job.tls == TlsPolicy::Auto && job.authenticate))
        useSsl = CURLUSESSL_ALL;
    else if (job.tls == TlsPolicy::None)
        useSsl = CURLUSESSL_NONE;
    curl_easy_setopt(c, CURLOPT_USE_SSL, useSsl);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(c, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    if (!job.caFile.empty()) {
        // The private CA alone: the system's folder of certificates is not consulted.
        curl_easy_setopt(c, CURLOPT_CAINFO, job.caFile.c_str());
        curl_easy_setopt(c, CURLOPT_CAPATH, nullptr);
    }

    if (job.authenticate) {
        curl_easy_setopt(c, CURLOPT_USERNAME, job.user.c_str());
        curl_easy_setopt(c, CURLOPT_PASSWORD, job.password.c_str());
    }
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, mailFrom.c_str());
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, rcpt.get());
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c, CURLOPT_READFUNCTION, &ReadUpload);
    curl_easy_setopt(c, CURLOPT_READDATA, &up);
    curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(job.message.size()));
    // The server's replies come through the header callback, one line each.
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &OnReplyLine);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &replies);
    if (job.verbose) curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);

    const CURLcode res = curl_easy_perform(c);
    SmtpResult result;
    if (res == CURLE_OK) {
        result.sent = true;
    } else {
        const std::string error = errbuf[0] != '\0' ? errbuf : curl_easy_strerror(res);
        result = Classify(res, error, replies, job);
    }
    rcpt.reset();
    curl.reset();
    curl_global_cleanup();
    return result;
}

}  // namespace sendmail

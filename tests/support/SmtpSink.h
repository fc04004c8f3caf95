// The loopback SMTP server of the mail tests (tests/mail/smtp_sink.py), in a folder of its own:
// it takes every message and keeps message n (from 1) as mail-<n>.eml (the envelope lines, an
// empty line, the message), and each log-in as a line of auth.log. It refuses recipients whose
// address begins with "refuse-". With options it speaks TLS (STARTTLS, or TLS from the first
// byte on a second port) and checks the log-in.
#pragma once

#include <cstddef>
#include <string>

#include "support/TestSupport.h"

namespace testing_support {

struct SmtpSinkOptions {
    std::string certFile;      // the server's certificate chain (PEM), for the TLS options
    std::string keyFile;       // and its key
    bool starttls = false;     // Server() offers STARTTLS, and AUTH only after it
    bool implicitTls = false;  // TlsServer() speaks TLS from the first byte
    std::string login;         // "user:password": only this log-in succeeds ("": every one)
};

// A private CA and certificates made in `folder` for a test: ca.pem, server.pem (127.0.0.1 and
// localhost) with server.key, wrong-host.pem (other.test only, key server.key), other-ca.pem (a
// CA that signed nothing). False (with a test failure) when they cannot be made.
bool MakeTestCertificates(const std::string& folder);

class SmtpSink {
  public:
    // Starts the server, to end by itself after `lifetimeSeconds`, and waits for its port.
    // False (with the reason added as a test failure) when it does not come up.
    bool Start(int lifetimeSeconds, const SmtpSinkOptions& options = {});
    // "127.0.0.1:<port>".
    const std::string& Server() const { return server_; }
    // "127.0.0.1:<port>" of the implicit-TLS port ("" without SmtpSinkOptions::implicitTls).
    const std::string& TlsServer() const { return tls_server_; }
    // A file of the server's folder ("mail-1.eml", "auth.log", or one a test keeps there).
    std::string File(const std::string& name) const { return box_.File(name); }
    // The messages received so far.
    size_t MailCount() const;
    // Message n (from 1) as it was stored.
    std::string Raw(size_t n) const;
    // Message n as Python's mail parser reads it: each header "Name: value" (encoded words
    // decoded), an empty line, then the decoded text with LF line ends.
    std::string Parsed(size_t n) const;
    // How message n came: "tls" or "plain".
    std::string Transport(size_t n) const;

  private:
    TempDir box_;
    ChildProcess server_process_;
    std::string server_;
    std::string tls_server_;
};

}  // namespace testing_support

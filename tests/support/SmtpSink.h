// The loopback SMTP server of the mail tests (tests/mail/smtp_sink.py), in a folder of its own:
// it takes every message and keeps message n (from 1) as mail-<n>.eml (the envelope lines, an
// empty line, the message), and each log-in as a line of auth.log.
#pragma once

#include <cstddef>
#include <string>

#include "support/TestSupport.h"

namespace testing_support {

class SmtpSink {
  public:
    // Starts the server, to end by itself after `lifetimeSeconds`, and waits for its port.
    // False (with the reason added as a test failure) when it does not come up.
    bool Start(int lifetimeSeconds);
    // "127.0.0.1:<port>".
    const std::string& Server() const { return server_; }
    // A file of the server's folder ("mail-1.eml", "auth.log", or one a test keeps there).
    std::string File(const std::string& name) const { return box_.File(name); }
    // The messages received so far.
    size_t MailCount() const;
    // Message n (from 1) as it was stored.
    std::string Raw(size_t n) const;
    // Message n as Python's mail parser reads it: each header "Name: value" (encoded words
    // decoded), an empty line, then the decoded text with LF line ends.
    std::string Parsed(size_t n) const;

  private:
    TempDir box_;
    ChildProcess server_process_;
    std::string server_;
};

}  // namespace testing_support

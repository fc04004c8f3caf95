#include "support/SmtpSink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace testing_support {

namespace {

const std::string kPython = "/usr/bin/python3";

const char kParseMail[] =
    "import sys, email\n"
    "from email import policy\n"
    "raw = open(sys.argv[1], 'rb').read().split(b'\\n\\n', 1)[1]\n"
    "m = email.message_from_bytes(raw, policy=policy.default)\n"
    "out = ''.join('%s: %s\\n' % (k, v) for k, v in m.items())\n"
    "sys.stdout.buffer.write((out + '\\n' + m.get_content()).replace('\\r\\n', "
    "'\\n').encode('utf-8'))\n";

std::string MailName(size_t n) {
    return "mail-" + std::to_string(n) + ".eml";
}

}  // namespace

bool MakeTestCertificates(const std::string& folder) {
    std::string out, err;
    if (RunProgram({kPython, SourcePath("tests/mail/test_ca.py"), folder}, &out, &err) != 0) {
        ADD_FAILURE() << "the test certificates could not be made: " << err;
        return false;
    }
    return true;
}

bool SmtpSink::Start(int lifetimeSeconds, const SmtpSinkOptions& options) {
    std::vector<std::string> argv = {kPython, SourcePath("tests/mail/smtp_sink.py"), box_.path(),
                                     std::to_string(lifetimeSeconds)};
    if (!options.certFile.empty())
        argv.insert(argv.end(), {"--cert", options.certFile, "--key", options.keyFile});
    if (options.starttls) argv.push_back("--starttls");
    if (options.implicitTls) argv.push_back("--implicit-tls");
    if (!options.login.empty()) argv.insert(argv.end(), {"--login", options.login});
    if (!server_process_.Start(argv)) {
        ADD_FAILURE() << "the SMTP sink did not start";
        return false;
    }
    if (!WaitFor([&] { return FileExists(box_.File("port")); }, std::chrono::seconds(30))) {
        ADD_FAILURE() << "the SMTP sink has no port: " << server_process_.Stderr();
        return false;
    }
    server_ = "127.0.0.1:" + ReadFile(box_.File("port"));
    // The TLS port is written before the plain one.
    if (options.implicitTls) tls_server_ = "127.0.0.1:" + ReadFile(box_.File("tls-port"));
    return true;
}

size_t SmtpSink::MailCount() const {
    size_t n = 0;
    while (FileExists(box_.File(MailName(n + 1))))
        ++n;
    return n;
}

std::string SmtpSink::Raw(size_t n) const {
    return ReadFile(box_.File(MailName(n)));
}

std::string SmtpSink::Transport(size_t n) const {
    const std::string key = "mail-" + std::to_string(n) + " ";
    for (const std::string& line : SplitLines(ReadFile(box_.File("transport.log"))))
        if (line.rfind(key, 0) == 0) return line.substr(key.size());
    return "";
}

std::string SmtpSink::Parsed(size_t n) const {
    std::string out, err;
    EXPECT_EQ(RunProgram({kPython, "-c", kParseMail, box_.File(MailName(n))}, &out, &err), 0)
        << err;
    return out;
}

}  // namespace testing_support

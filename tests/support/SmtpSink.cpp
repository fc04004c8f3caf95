#include "support/SmtpSink.h"

#include <gtest/gtest.h>

#include <chrono>

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

bool SmtpSink::Start(int lifetimeSeconds) {
    if (!server_process_.Start({kPython, PELLOMAR_SOURCE_DIR "/tests/mail/smtp_sink.py",
                                box_.path(), std::to_string(lifetimeSeconds)})) {
        ADD_FAILURE() << "the SMTP sink did not start";
        return false;
    }
    if (!WaitFor([&] { return FileExists(box_.File("port")); }, std::chrono::seconds(30))) {
        ADD_FAILURE() << "the SMTP sink has no port: " << server_process_.Stderr();
        return false;
    }
    server_ = "127.0.0.1:" + ReadFile(box_.File("port"));
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

std::string SmtpSink::Parsed(size_t n) const {
    std::string out, err;
    EXPECT_EQ(RunProgram({kPython, "-c", kParseMail, box_.File(MailName(n))}, &out, &err), 0)
        << err;
    return out;
}

}  // namespace testing_support

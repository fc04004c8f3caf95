// SendMail against a real SMTP server on loopback (aiosmtpd, tests/mail/smtp_sink.py).
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "platform/Socket.h"
#include "support/SmtpSink.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

const std::string SUBJECT = "Tavenu RAID Manager Event Notification";

// The value of header `name` in the parsed message ("" when it is missing).
std::string Header(const std::string& parsed, const std::string& name) {
    std::string key = name + ": ";
    size_t at = parsed.rfind(key, 0) == 0 ? 0 : parsed.find("\n" + key);
    if (at == std::string::npos) return "";
    if (at != 0) ++at;
    size_t end = parsed.find('\n', at);
    return parsed.substr(at + key.size(), end - at - key.size());
}

// True when `s` has the shape: 'A' an upper-case letter, 'a' a lower-case one, '9' a digit,
// '+' a sign, any other character itself.
bool MatchesShape(const std::string& s, const std::string& shape) {
    if (s.size() != shape.size()) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        bool ok = shape[i] == 'A'   ? std::isupper(c) != 0
                  : shape[i] == 'a' ? std::islower(c) != 0
                  : shape[i] == '9' ? std::isdigit(c) != 0
                  : shape[i] == '+' ? (c == '+' || c == '-')
                                    : c == static_cast<unsigned char>(shape[i]);
        if (!ok) return false;
    }
    return true;
}

class SendMail : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sink.Start(240));
        server = sink.Server();
        body = sink.File("body");
        // The default settings, whatever a settings file beside the build or in /etc may say.
        ASSERT_TRUE(WriteFile(sink.File("pellomar.conf"), ""));
    }

    int Run(const std::vector<std::string>& args, std::string* out = nullptr,
            std::string* err = nullptr) {
        std::vector<std::string> argv = {
            BinPath("SendMail"), "--config", sink.File("pellomar.conf"), "--connect-timeout", "10",
            "--timeout",         "60"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string o, e;
        int code = RunProgram(argv, &o, &e, std::chrono::seconds(90));
        if (out != nullptr) *out = o;
        if (err != nullptr) *err = e;
        return code;
    }

    SmtpSink sink;
    std::string server;
    std::string body;
};

}  // namespace

TEST_F(SendMail, DeliversTheBodyWithTheHeadersAndNoAuthForNullUser) {
    // A mail body as the event recorder writes it, with LF line ends and a line that starts
    // with a dot (SMTP doubles it on the wire; the server must get it back single).
    const std::string text =
        "\nOS Time : 12/07/26 14:05:09\nSerial No. : SN0123456789ABCDEFG\n\n"
        "Event (str) : Disk 3 offline\n.dot line\n..two dots\n.\nEvent (bin) : 0a1b\n\n\n";
    ASSERT_TRUE(WriteFile(body, text));
    std::string out, err;
    ASSERT_EQ(
        Run({server, "agent@x.test", "ops@y.test", SUBJECT, "NULL", "NULL", body}, &out, &err), 0)
        << err;
    EXPECT_EQ(out, "MAIL-OUTCOME sent ops@y.test\n");
    EXPECT_EQ(err, "");

    std::string raw = sink.Raw(1);
    EXPECT_EQ(raw.rfind("MAIL FROM:agent@x.test\nRCPT TO:ops@y.test\n\n", 0), 0u) << raw;
    EXPECT_NE(raw.find("\r\n.dot line\r\n..two dots\r\n.\r\nEvent (bin)"), std::string::npos)
        << "CRLF line ends and the dot lines as written";

    std::string parsed = sink.Parsed(1);
    EXPECT_TRUE(MatchesShape(Header(parsed, "Date"), "Aaa, 99 Aaa 9999 99:99:99 +9999")) << parsed;
    std::string id = Header(parsed, "Message-ID");
    EXPECT_TRUE(id.size() > 9 && id[0] == '<' && id.find_first_of("<> ", 1) == id.size() - 1 &&
                id.find('@') == id.size() - 8 && id.ends_with("@x.test>"))
        << id;
    for (const std::string& h : std::vector<std::string>{
             "From: agent@x.test\n", "To: ops@y.test\n", "Subject: " + SUBJECT + "\n",
             "Content-Type: text/plain; charset=\"UTF-8\"\n", "MIME-Version: 1.0\n"})
        EXPECT_NE(parsed.find(h), std::string::npos) << h << " in\n" << parsed;
    // The text arrives exactly as the file holds it (the parser gives LF line ends).
    EXPECT_EQ(parsed.substr(parsed.find("\n\n") + 2), text);
    EXPECT_FALSE(FileExists(sink.File("auth.log"))) << "AUTH was attempted";

    // The same with an empty user: still no AUTH.
    ASSERT_EQ(Run({server, "agent@x.test", "ops@y.test", SUBJECT, "", "", body}, &out, &err), 0)
        << err;
    ASSERT_TRUE(FileExists(sink.File("mail-2.eml")));
    EXPECT_FALSE(FileExists(sink.File("auth.log"))) << "AUTH was attempted";
}

TEST_F(SendMail, AuthenticatesWhenAUserIsGiven) {
    ASSERT_TRUE(WriteFile(body, "text\n"));
    // This sink speaks no TLS: the settings must let the log-in go in the clear.
    ASSERT_TRUE(WriteFile(sink.File("pellomar.conf"), "[mail]\ntls = \"none\"\n"));
    std::string err;
    ASSERT_EQ(Run({server, "agent@x.test", "ops@y.test", SUBJECT, "mailer", "s3cret pw", body},
                  nullptr, &err),
              0)
        << err;
    EXPECT_TRUE(FileExists(sink.File("mail-1.eml")));
    std::string auth = ReadFile(sink.File("auth.log"));
    EXPECT_TRUE(auth == "PLAIN mailer s3cret pw\n" || auth == "LOGIN mailer s3cret pw\n") << auth;

    // A password item of NULL counts as the empty password.
    ASSERT_EQ(
        Run({server, "agent@x.test", "ops@y.test", SUBJECT, "mailer", "NULL", body}, nullptr, &err),
        0)
        << err;
    auth = ReadFile(sink.File("auth.log"));
    EXPECT_TRUE(auth.ends_with("\nPLAIN mailer \n") || auth.ends_with("\nLOGIN mailer \n")) << auth;

    // Options come only before the arguments: a user or password that looks like one is sent as
    // it stands.
    ASSERT_EQ(Run({server, "agent@x.test", "ops@y.test", SUBJECT, "--verbose", "--help", body},
                  nullptr, &err),
              0)
        << err;
    auth = ReadFile(sink.File("auth.log"));
    EXPECT_TRUE(auth.ends_with("\nPLAIN --verbose --help\n") ||
                auth.ends_with("\nLOGIN --verbose --help\n"))
        << auth;
}

TEST_F(SendMail, EncodesTextThatIsNotPlainAscii) {
    const std::string subject = "Störung: Platte 3 ✗ — RAID 5 herabgestuft, bitte sofort prüfen";
    const std::string text = "Grüße\nlong " + std::string(1200, 'x') + " end\n=equals\n";
    ASSERT_TRUE(WriteFile(body, text));
    std::string out, err;
    ASSERT_EQ(Run({server, "Raid Admin <agent@x.test>", "Ops <ops@y.test>", subject, "NULL", "NULL",
                   body},
                  &out, &err),
              0)
        << err;
    // The outcome line holds no blank in the address: it names the bare one.
    EXPECT_EQ(out, "MAIL-OUTCOME sent ops@y.test\n");
    // A recipient without blanks is named as given, the text the agent looks for.
    ASSERT_EQ(
        Run({server, "agent@x.test", "Ops<ops@y.test>", "S", "NULL", "NULL", body}, &out, &err), 0)
        << err;
    EXPECT_EQ(out, "MAIL-OUTCOME sent Ops<ops@y.test>\n");
    std::string raw = sink.Raw(1);
    EXPECT_EQ(raw.rfind("MAIL FROM:agent@x.test\nRCPT TO:ops@y.test\n", 0), 0u) << raw;
    // Every line on the wire stays within SMTP's limit.
    size_t start = 0, longest = 0;
    for (size_t i = raw.find('\n'); i != std::string::npos;
         start = i + 1, i = raw.find('\n', start))
        longest = std::max(longest, i - start);
    EXPECT_LE(longest, 998u);
    std::string parsed = sink.Parsed(1);
    EXPECT_NE(parsed.find("Subject: " + subject + "\n"), std::string::npos) << parsed;
    EXPECT_NE(parsed.find("From: Raid Admin <agent@x.test>\n"), std::string::npos) << parsed;
    EXPECT_EQ(parsed.substr(parsed.find("\n\n") + 2), text);
}

TEST_F(SendMail, AnUnreachableServerFailsWithAMessage) {
    ASSERT_TRUE(WriteFile(body, "text\n"));
    uint16_t closedPort;
    {
        plat::Socket s(plat::SockTcpListen(0x7F000001, 0, 1, nullptr, 0));
        closedPort = plat::SockLocalPort(s.Get());
    }  // closed again: nothing listens there now
    std::string out, err;
    int code = Run({"127.0.0.1:" + std::to_string(closedPort), "agent@x.test", "ops@y.test",
                    SUBJECT, "NULL", "NULL", body},
                   &out, &err);
    EXPECT_EQ(code, 1);
    EXPECT_NE(err.find("SendMail: sending to ops@y.test through smtp://127.0.0.1:" +
                       std::to_string(closedPort) + " failed: "),
              std::string::npos)
        << err;
    EXPECT_EQ(out.rfind("MAIL-OUTCOME failed connect ops@y.test ", 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;

    // A server given as host:465 is spoken to in TLS from the first byte.
    code = Run({"127.0.0.1:465", "agent@x.test", "ops@y.test", SUBJECT, "NULL", "NULL", body}, &out,
               &err);
    EXPECT_EQ(code, 1);
    EXPECT_NE(err.find(" through smtps://127.0.0.1:465 failed: "), std::string::npos) << err;
}

TEST_F(SendMail, ReportsARefusalWithTheServersReplyInOneLine) {
    ASSERT_TRUE(WriteFile(body, "text\n"));
    std::string out, err;
    EXPECT_EQ(Run({server, "agent@x.test", "refuse-ops@y.test", SUBJECT, "NULL", "NULL", body},
                  &out, &err),
              1);
    EXPECT_EQ(out,
              "MAIL-OUTCOME failed refused refuse-ops@y.test 550 5.1.1 <refuse-ops@y.test>: "
              "recipient refused here\n");
    EXPECT_NE(err.find("550 5.1.1 <refuse-ops@y.test>: recipient refused here"), std::string::npos)
        << err;

    // A long reply is cut: the line's detail holds at most 200 bytes.
    const std::string longTo = "refuse-" + std::string(300, 'x') + "@y.test";
    EXPECT_EQ(Run({server, "agent@x.test", longTo, SUBJECT, "NULL", "NULL", body}, &out, &err), 1);
    const std::string head = "MAIL-OUTCOME failed refused " + longTo + " ";
    ASSERT_EQ(out.rfind(head + "550 5.1.1 <refuse-xxx", 0), 0u) << out;
    EXPECT_EQ(out.size(), head.size() + 200 + 1) << out;
    EXPECT_EQ(out.find('\n'), out.size() - 1);
    EXPECT_EQ(sink.MailCount(), 0u);
}

// While it talks to a server that never answers, other users reading the process list see the
// password blanked.
TEST_F(SendMail, BlanksThePasswordInItsArgumentList) {
    ASSERT_TRUE(WriteFile(body, "text\n"));
    plat::Socket mute(plat::SockTcpListen(0x7F000001, 0, 1, nullptr, 0));  // accepts, never speaks
    ChildProcess p;
    ASSERT_TRUE(p.Start({BinPath("SendMail"), "--timeout", "20",
                         "127.0.0.1:" + std::to_string(plat::SockLocalPort(mute.Get())),
                         "agent@x.test", "ops@y.test", SUBJECT, "user", "s3cret-pw", body}));
    std::string cmdline;
    ASSERT_TRUE(WaitFor([&] {
        cmdline = ReadFile("/proc/" + std::to_string(p.pid()) + "/cmdline");
        return cmdline.find("*********") != std::string::npos;
    })) << cmdline;
    EXPECT_EQ(cmdline.find("s3cret-pw"), std::string::npos);
    EXPECT_NE(cmdline.find(std::string("user\0*********\0", 15)), std::string::npos);
    p.Signal(9);
}

TEST_F(SendMail, RefusesBadArgumentsClearly) {
    ASSERT_TRUE(WriteFile(body, "text\n"));
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string message;
    };
    const std::string s = server;
    const std::vector<Case> cases = {
        {{"", "a@x.test", "b@y.test", SUBJECT, "NULL", "NULL", body}, 2, "SERVER is empty"},
        {{"NULL", "a@x.test", "b@y.test", SUBJECT, "NULL", "NULL", body}, 2, "SERVER is NULL"},
        {{"h:99999", "a@x.test", "b@y.test", SUBJECT, "NULL", "NULL", body}, 2, "port"},
        {{"h:", "a@x.test", "b@y.test", SUBJECT, "NULL", "NULL", body}, 2, "port"},
        {{"ftp://h", "a@x.test", "b@y.test", SUBJECT, "NULL", "NULL", body}, 2, "SERVER"},
        {{s, "NULL", "b@y.test", SUBJECT, "NULL", "NULL", body}, 2, "FROM is NULL"},
        {{s, "", "b@y.test", SUBJECT, "NULL", "NULL", body}, 2, "FROM is empty"},
        {{s, "a@x.test", "NULL", SUBJECT, "NULL", "NULL", body}, 2, "TO is NULL"},
        {{s, "a@x.test", "b@y.test\r\nBcc: c@z.test", SUBJECT, "NULL", "NULL", body},
         2,
         "line break"},
        {{s, "a@x.test", "b@y.test", "Hi\nBcc: c@z.test", "NULL", "NULL", body}, 2, "line break"},
        {{s, "a@x.test", "b@y.test", SUBJECT, "NULL", "NULL"}, 2, "expected 7 arguments"},
        {{"--frobnicate", s, "a@x.test", "b@y.test", SUBJECT, "NULL", "NULL", body},
         2,
         "unknown option"},
        {{s, "a@x.test", "b@y.test", SUBJECT, "NULL", "NULL", sink.File("missing")},
         3,
         "cannot read the body file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        std::string out, err;
        EXPECT_EQ(Run(c.args, &out, &err), c.code);
        EXPECT_EQ(err.rfind("SendMail: ", 0), 0u) << err;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        // One outcome line with the reason, whatever the arguments held (line breaks included).
        const std::string reason = c.code == 3 ? "body" : "usage";
        EXPECT_EQ(out.rfind("MAIL-OUTCOME failed " + reason + " ", 0), 0u) << out;
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
        EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
        EXPECT_EQ(std::count_if(out.begin(), out.end(),
                                [](char ch) { return static_cast<unsigned char>(ch) < 0x20; }),
                  1)
            << out;
    }
    EXPECT_FALSE(FileExists(sink.File("mail-1.eml"))) << "a refused call sent mail";

    std::string out;
    EXPECT_EQ(Run({"--help"}, &out), 0);
    EXPECT_EQ(
        out.rfind("Usage: SendMail [options] SERVER FROM TO SUBJECT USER PASSWORD BODYFILE\n", 0),
        0u)
        << out;
    EXPECT_EQ(out.find("\nMAIL-OUTCOME "), std::string::npos) << "--help sends nothing";
    for (const char* word : {"--config FILE", "--version", "tls = \"required\"", "ca_file"})
        EXPECT_NE(out.find(word), std::string::npos) << word;
    EXPECT_EQ(Run({"--version"}, &out), 0);
    EXPECT_EQ(out, "SendMail " PELLOMAR_VERSION "\n");
}

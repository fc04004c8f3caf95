// SendMail's TLS, log-in and settings against a real SMTP server on loopback (aiosmtpd,
// tests/mail/smtp_sink.py) with certificates of a private CA made for the test, and the outcome
// line each time.
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/Socket.h"
#include "support/SmtpSink.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

const std::string SUBJECT = "Tavenu RAID Manager Event Notification";
const std::string LOGIN_USER = "mailer";
const std::string LOGIN_PASSWORD = "s3cret pw";

class SendMailTls : public testing::Test {
  protected:
    // One private CA for all the tests of the program.
    static void SetUpTestSuite() {
        certs_ = std::make_unique<TempDir>();
        ASSERT_TRUE(MakeTestCertificates(certs_->path()));
    }
    static void TearDownTestSuite() { certs_.reset(); }

    static std::string Cert(const std::string& name) { return certs_->File(name); }

    // A sink offering STARTTLS (AUTH only after it) and TLS from the first byte on a second
    // port, with `cert` ("server.pem" or "wrong-host.pem"), taking only the test's log-in.
    static SmtpSinkOptions TlsSink(const std::string& cert = "server.pem") {
        SmtpSinkOptions o;
        o.certFile = Cert(cert);
        o.keyFile = Cert("server.key");
        o.starttls = true;
        o.implicitTls = true;
        o.login = LOGIN_USER + ":" + LOGIN_PASSWORD;
        return o;
    }

    void SetUp() override {
        body_ = box_.File("body");
        ASSERT_TRUE(WriteFile(body_, "Disk 3 offline\n"));
    }

    // Runs SendMail with `settings` as its settings file, to ops@y.test through `server`, with
    // the log-in when `login`; the exit code, standard output and error.
    int Run(const std::string& settings, const std::string& server, bool login, std::string* out,
            std::string* err, const std::string& password = LOGIN_PASSWORD,
            const std::vector<std::string>& options = {"--timeout", "30"}) {
        EXPECT_TRUE(WriteFile(box_.File("pellomar.conf"), settings));
        std::vector<std::string> argv = {BinPath("SendMail"), "--config",
                                         box_.File("pellomar.conf"), "--connect-timeout", "10"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), {server, "agent@x.test", "ops@y.test", SUBJECT,
                                 login ? LOGIN_USER : "NULL", login ? password : "NULL", body_});
        return RunProgram(argv, out, err, std::chrono::seconds(60));
    }

    static std::string CaSetting(const std::string& caFile) {
        return "[mail]\nca_file = \"" + caFile + "\"\n";
    }

    static inline std::unique_ptr<TempDir> certs_;
    TempDir box_;
    std::string body_;
};

const std::string SENT = "MAIL-OUTCOME sent ops@y.test\n";

std::string FailedPrefix(const std::string& reason) {
    return "MAIL-OUTCOME failed " + reason + " ops@y.test ";
}

}  // namespace

// Mail goes only to a server whose certificate chains to the CA file and names the host
// connected to, with STARTTLS and with TLS from the first byte alike; a refused certificate
// sends nothing, the password included.
TEST_F(SendMailTls, DeliversOnlyWhenTheCertificateChainsToTheCaFileAndNamesTheHost) {
    SmtpSink good, wrongHost;
    ASSERT_TRUE(good.Start(240, TlsSink()));
    ASSERT_TRUE(wrongHost.Start(240, TlsSink("wrong-host.pem")));
    struct Case {
        std::string name;
        SmtpSink* sink;
        bool implicitTls;
        std::string settings;
        bool sent;
    };
    const std::string noCa = "[mail]\ntls = \"auto\"\n";
    const std::vector<Case> cases = {
        {"STARTTLS, the system's store only", &good, false, noCa, false},
        {"STARTTLS, another CA", &good, false, CaSetting(Cert("other-ca.pem")), false},
        {"STARTTLS, the CA", &good, false, CaSetting(Cert("ca.pem")), true},
        {"STARTTLS, the CA, another host's certificate", &wrongHost, false,
         CaSetting(Cert("ca.pem")), false},
        {"implicit TLS, the system's store only", &good, true, noCa, false},
        {"implicit TLS, another CA", &good, true, CaSetting(Cert("other-ca.pem")), false},
        {"implicit TLS, the CA", &good, true, CaSetting(Cert("ca.pem")), true},
        {"implicit TLS, the CA, another host's certificate", &wrongHost, true,
         CaSetting(Cert("ca.pem")), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = c.sink->MailCount();
        const std::string authBefore = ReadFile(c.sink->File("auth.log"));
        const std::string server =
            c.implicitTls ? "smtps://" + c.sink->TlsServer() : c.sink->Server();
        std::string out, err;
        const int code = Run(c.settings, server, true, &out, &err);
        if (c.sent) {
            EXPECT_EQ(code, 0) << err;
            EXPECT_EQ(out, SENT);
            ASSERT_EQ(c.sink->MailCount(), before + 1);
            EXPECT_EQ(c.sink->Transport(before + 1), "tls");
            const std::string auth = ReadFile(c.sink->File("auth.log")).substr(authBefore.size());
            EXPECT_TRUE(auth == "PLAIN mailer s3cret pw\n" || auth == "LOGIN mailer s3cret pw\n")
                << auth;
        } else {
            EXPECT_EQ(code, 1);
            EXPECT_EQ(out.rfind(FailedPrefix("tls"), 0), 0u) << out;
            EXPECT_NE(out.find("certificate"), std::string::npos) << out;
            EXPECT_NE(err.find("SendMail: sending to ops@y.test through "), std::string::npos)
                << err;
            EXPECT_EQ(c.sink->MailCount(), before);
            EXPECT_EQ(ReadFile(c.sink->File("auth.log")), authBefore) << "the password was sent";
        }
    }
}

TEST_F(SendMailTls, AWrongPasswordFailsWithTheServersReply) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start(240, TlsSink()));
    std::string out, err;
    EXPECT_EQ(Run(CaSetting(Cert("ca.pem")), sink.Server(), true, &out, &err, "wrong"), 1);
    EXPECT_EQ(out, FailedPrefix("auth") + "535 5.7.8 Authentication credentials invalid\n");
    EXPECT_NE(err.find("the log-in was refused: 535 5.7.8 Authentication credentials invalid"),
              std::string::npos)
        << err;
    EXPECT_EQ(sink.MailCount(), 0u);
}

// What mail.tls lets go in the clear: against a server without STARTTLS (offering AUTH in the
// clear, so that a password sent shows in its auth.log), and one with it.
TEST_F(SendMailTls, TheTlsSettingDecidesWhatMayGoInTheClear) {
    SmtpSink plain, starttls;
    ASSERT_TRUE(plain.Start(240));
    ASSERT_TRUE(starttls.Start(240, TlsSink()));
    struct Case {
        std::string name;
        SmtpSink* sink;
        std::string settings;
        bool login;
        std::string outcome;    // the line, or the start of a failure's line
        std::string transport;  // how the mail came ("" none came)
    };
    const std::string ca = "ca_file = \"" + Cert("ca.pem") + "\"\n";
    const std::vector<Case> cases = {
        {"auto, no STARTTLS, no log-in", &plain, "", false, SENT, "plain"},
        {"auto, no STARTTLS, a log-in", &plain, "", true, FailedPrefix("tls"), ""},
        {"required, no STARTTLS, no log-in", &plain, "[mail]\ntls = \"required\"\n", false,
         FailedPrefix("tls"), ""},
        {"required, no STARTTLS, a log-in", &plain, "[mail]\ntls = \"required\"\n", true,
         FailedPrefix("tls"), ""},
        {"none, no STARTTLS, a log-in", &plain, "[mail]\ntls = \"none\"\n", true, SENT, "plain"},
        {"auto, STARTTLS, no log-in", &starttls, "[mail]\n" + ca, false, SENT, "tls"},
        {"required, STARTTLS, a log-in", &starttls, "[mail]\ntls = \"required\"\n" + ca, true, SENT,
         "tls"},
        {"none, STARTTLS, no log-in", &starttls, "[mail]\ntls = \"none\"\n", false, SENT, "plain"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = c.sink->MailCount();
        const std::string authBefore = ReadFile(c.sink->File("auth.log"));
        std::string out, err;
        const int code = Run(c.settings, c.sink->Server(), c.login, &out, &err);
        EXPECT_EQ(out.rfind(c.outcome, 0), 0u) << out << err;
        EXPECT_EQ(code, c.outcome == SENT ? 0 : 1);
        const std::string auth = ReadFile(c.sink->File("auth.log")).substr(authBefore.size());
        if (c.transport.empty()) {
            EXPECT_EQ(c.sink->MailCount(), before) << "mail sent in the clear";
            EXPECT_EQ(auth, "") << "the password went in the clear";
            EXPECT_NE(out.find("STARTTLS"), std::string::npos) << out;
        } else {
            ASSERT_EQ(c.sink->MailCount(), before + 1);
            EXPECT_EQ(c.sink->Transport(before + 1), c.transport);
            if (c.login) {
                EXPECT_TRUE(auth == "PLAIN mailer s3cret pw\n" ||
                            auth == "LOGIN mailer s3cret pw\n")
                    << auth;
            }
        }
    }
}

// A server that accepts the connection and never says a word: the run ends by --timeout.
TEST_F(SendMailTls, ASilentServerFailsWithTimeoutInTime) {
    plat::Socket mute(plat::SockTcpListen(0x7F000001, 0, 1, nullptr, 0));
    const std::string server = "127.0.0.1:" + std::to_string(plat::SockLocalPort(mute.Get()));
    std::string out, err;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run("", server, false, &out, &err, LOGIN_PASSWORD, {"--timeout", "3"}), 1);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(out.rfind(FailedPrefix("timeout"), 0), 0u) << out;
    EXPECT_GE(took, std::chrono::milliseconds(2900));
    EXPECT_LT(took, std::chrono::seconds(8));
}

// A fault in the [mail] keys sends nothing and names the file, the line and the reason; what
// belongs to the agent (other sections, other [mail] keys) is no fault.
TEST_F(SendMailTls, SettingsFaultsSendNothing) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start(240));
    const std::string file = box_.File("pellomar.conf");
    struct Case {
        std::string settings;
        std::string fault;  // "" : none, the mail goes
    };
    const std::vector<Case> cases = {
        {"[gui]\nlisten = \"127.0.0.1\"\n[mail]\nsubject = \"RAID\"\nrecovery = true\n"
         "repeat = 3\ntls = \"auto\"\n[paths]\nstate_dir = \"/var/lib/x\"\n",
         ""},
        // Characters beyond ASCII in comments, and a byte order mark, as the agent reads them.
        {"\xEF\xBB\xBF# B\xC3\xBCro \xE2\x80\x94 \xF0\x9F\x94\x92\n[mail]\ntls = \"auto\"  # "
         "\xC3\xA9\n",
         ""},
        {"[mail\ntls = \"none\"\n", ":1:"},
        // A table header without a key is reported, also where assertions are on.
        {"[mail]\ntls = \"auto\"\n[\n", ":3:2: Error while parsing key: expected bare key"},
        {"[mail]\ntls = \"auto\" \xC3\xA9\n", ":2:14:"},
        {"[mail]\ntls = \"off\"\n", ":2:7: mail.tls must be \"auto\", \"required\" or \"none\""},
        {"[mail]\nsubject = \"x\"\ntls = true\n", ":3:7: mail.tls must be"},
        {"mail = \"smtp\"\n", ":1:8: mail must be a section ([mail])"},
        {"[mail]\nca_file = \"ca.pem\"\n", ":2:11: mail.ca_file must be the absolute path"},
        {"[mail]\nca_file = \"" + box_.File("missing.pem") + "\"\n",
         ":2:11: mail.ca_file '" + box_.File("missing.pem") +
             "' cannot be read: No such file or directory"},
        {"[mail]\nca_file = \"" + Cert("server.key") + "\"\n",
         ":2:11: mail.ca_file '" + Cert("server.key") + "' holds no PEM certificate"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        std::string out, err;
        const int code = Run(c.settings, sink.Server(), false, &out, &err);
        if (c.fault.empty()) {
            EXPECT_EQ(code, 0) << err;
            EXPECT_EQ(out, SENT);
            continue;
        }
        EXPECT_EQ(code, 2);
        EXPECT_EQ(out.rfind(FailedPrefix("usage") + file + c.fault.substr(0, 1), 0), 0u) << out;
        EXPECT_NE(out.find(c.fault), std::string::npos) << out;
        EXPECT_NE(err.find("SendMail: " + file + c.fault.substr(0, 1)), std::string::npos) << err;
        EXPECT_NE(err.find("no mail is sent until the [mail] settings are mended"),
                  std::string::npos)
            << err;
    }
    EXPECT_EQ(sink.MailCount(), 2u);

    // A settings file named on the command line must be there.
    std::string out, err;
    const std::string missing = box_.File("nowhere.conf");
    EXPECT_EQ(RunProgram({BinPath("SendMail"), "--config", missing, sink.Server(), "agent@x.test",
                          "ops@y.test", SUBJECT, "NULL", "NULL", body_},
                         &out, &err),
              2);
    EXPECT_EQ(out,
              FailedPrefix("usage") + missing + ": cannot be read: No such file or directory\n");
    EXPECT_EQ(sink.MailCount(), 2u);
}

// Without --config the mailer reads pellomar.conf beside itself (here a copy of it in a folder
// of its own); --config overrides it.
TEST_F(SendMailTls, ReadsTheSettingsFileBesideItself) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start(240));
    TempDir programDir;
    const std::string program = programDir.File("SendMail");
    std::filesystem::copy_file(BinPath("SendMail"), program);
    const std::string beside = programDir.File("pellomar.conf");
    auto run = [&](const std::vector<std::string>& options, std::string* out) {
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(),
                    {sink.Server(), "agent@x.test", "ops@y.test", SUBJECT, "NULL", "NULL", body_});
        std::string err;
        return RunProgram(argv, out, &err);
    };
    std::string out;
    ASSERT_TRUE(WriteFile(beside, "[mail]\ntls = \"required\"\n"));
    EXPECT_EQ(run({}, &out), 1);
    EXPECT_EQ(out.rfind(FailedPrefix("tls"), 0), 0u) << out;

    ASSERT_TRUE(WriteFile(beside, "[mail]\ntls = \"sometimes\"\n"));
    EXPECT_EQ(run({}, &out), 2);
    EXPECT_EQ(out.rfind(FailedPrefix("usage") + beside + ":2:7: mail.tls", 0), 0u) << out;
    EXPECT_EQ(sink.MailCount(), 0u);

    ASSERT_TRUE(WriteFile(box_.File("other.conf"), "[mail]\ntls = \"auto\"\n"));
    EXPECT_EQ(run({"--config", box_.File("other.conf")}, &out), 0);
    EXPECT_EQ(out, SENT);
    EXPECT_EQ(sink.MailCount(), 1u);
}

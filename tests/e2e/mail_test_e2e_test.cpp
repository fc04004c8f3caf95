// pellomar-cli mail test end to end: the real agent runs its mail script and SendMail against a
// real SMTP server; each recipient's outcome comes back to the client, in the log and in the
// metrics' counts; a server that is down fails every recipient with its reason.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/PrometheusQuery.h"
#include "support/SmtpSink.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

int Cli(const std::vector<std::string>& args, std::string* out, std::string* err) {
    std::vector<std::string> argv = {BinPath("pellomar-cli")};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, out, err, std::chrono::seconds(200));
}

void Configure(const std::string& server) {
    for (const std::vector<std::string>& c :
         std::vector<std::vector<std::string>>{{"mail", "set", "0", "ops@raid.test"},
                                               {"mail", "set", "1", "oncall@raid.test"},
                                               {"mail", "server", "set", "1", server},
                                               {"mail", "server", "set", "2", "agent@raid.test"},
                                               {"mail", "server", "set", "3", "NULL"},
                                               {"mail", "server", "set", "4", "NULL"}}) {
        std::string out, err;
        ASSERT_EQ(Cli(c, &out, &err), 0) << err;
    }
}

// The value of the sample `series` (name and labels as the exposition writes them) in the
// agent's metrics at `url`; "" when there is none.
std::string Sample(const std::string& url, const std::string& series) {
    std::string out, err;
    RunProgram({"/usr/bin/curl", "-fsS", "--max-time", "5", url}, &out, &err,
               std::chrono::seconds(10));
    for (const std::string& line : SplitLines(out))
        if (line.rfind(series + " ", 0) == 0) return line.substr(series.size() + 1);
    return "";
}

TEST(MailTestE2e, EachRecipientsOutcomeReachesTheClient) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start(200));
    AgentProcess agent;
    const uint16_t metricsPort = FreeLoopbackPort();
    const std::string metrics = "http://127.0.0.1:" + std::to_string(metricsPort) + "/metrics";
    WriteFile(agent.dir() + "/pellomar.conf",
              "[metrics]\nlisten = \"127.0.0.1:" + std::to_string(metricsPort) + "\"\n");
    ASSERT_TRUE(agent.Start({"SendMail"}));
    Configure(sink.Server());

    // The mail switch is off: a test mail goes out all the same.
    std::string out, err;
    EXPECT_EQ(Cli({"mail", "test"}, &out, &err), 0) << out << err;
    EXPECT_EQ(out, "sent    ops@raid.test\nsent    oncall@raid.test\n");
    EXPECT_TRUE(WaitFor([&] { return sink.MailCount() == 2; }));
    EXPECT_NE(sink.Parsed(1).find("This is a test message"), std::string::npos);
    EXPECT_NE(agent.Log().find(" sent to ops@raid.test.\n"), std::string::npos);
    // Counted per recipient before the reply went out.
    EXPECT_EQ(Sample(metrics, "pellomar_mail_sent_total"), "2");
    EXPECT_EQ(Sample(metrics, "pellomar_mail_failed_total{reason=\"connect\"}"), "0");

    // At most one a 10 s.
    EXPECT_EQ(Cli({"mail", "test"}, &out, &err), 1);
    EXPECT_NE(err.find("status 0x65"), std::string::npos) << err;

    // The server down: every recipient failed, with the reason, in JSON too.
    std::string closed;
    {
        plat::Socket s(plat::SockTcpListen(0x7F000001, 0, 1, nullptr, 0));
        closed = "127.0.0.1:" + std::to_string(plat::SockLocalPort(s.Get()));
    }
    Configure(closed);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    EXPECT_EQ(Cli({"mail", "test", "--json"}, &out, &err), 1) << out << err;
    const nlohmann::json j = nlohmann::json::parse(out, nullptr, false);
    ASSERT_TRUE(j.is_object()) << out;
    EXPECT_FALSE(j.value("all_sent", true));
    ASSERT_EQ(j["recipients"].size(), 2u);
    for (const auto& r : j["recipients"]) {
        EXPECT_FALSE(r.value("sent", true));
        EXPECT_EQ(r.value("reason", ""), "connect") << r.dump();
    }
    EXPECT_NE(agent.Log().find(" to oncall@raid.test failed, connect: "), std::string::npos);
    EXPECT_EQ(Sample(metrics, "pellomar_mail_failed_total{reason=\"connect\"}"), "2");
    EXPECT_EQ(Sample(metrics, "pellomar_mail_failed_total{reason=\"other\"}"), "0");
    EXPECT_EQ(Sample(metrics, "pellomar_mail_sent_total"), "2");
    EXPECT_EQ(agent.Stop(), 0);
}

}  // namespace

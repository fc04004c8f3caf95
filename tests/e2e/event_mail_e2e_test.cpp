// Real mail end to end: a disk going offline in pellomar-sim is polled by the real agent, which
// writes the mail body file and the script that runs SendMail for each recipient against an
// SMTP server on loopback (aiosmtpd, tests/mail/smtp_sink.py). A disk coming back online sends
// nothing.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/SimProcess.h"
#include "support/SmtpSink.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace testing_support;
using nlohmann::json;

namespace {

const std::string kSubject = "Tavenu RAID Manager Event Notification";
constexpr const char* kSn = "E2E-MAIL-SN-0001";
const std::vector<std::string> kRecipients = {"ops@raid.test", "oncall@raid.test"};

// The agent's mail settings, set through pellomar-cli as an administrator would: the recipients,
// the server and the sender, no log-in, mail on. Each change is saved by the agent at once.
bool ConfigureMail(const std::string& server, const std::vector<std::string>& recipients) {
    std::vector<std::vector<std::string>> commands;
    for (size_t slot = 0; slot < recipients.size(); ++slot)
        commands.push_back({"mail", "set", std::to_string(slot), recipients[slot]});
    commands.push_back({"mail", "server", "set", "1", server});
    commands.push_back({"mail", "server", "set", "2", "raid-agent@raid.test"});
    commands.push_back({"mail", "server", "set", "3", "NULL"});
    commands.push_back({"mail", "server", "set", "4", "NULL"});
    commands.push_back({"mail", "enable", "on"});
    for (auto& c : commands) {
        c.insert(c.begin(), BinPath("pellomar-cli"));
        std::string out, err;
        if (RunProgram(c, &out, &err) != 0) {
            ADD_FAILURE() << c[1] << " " << c[2] << ": " << err;
            return false;
        }
    }
    return true;
}

size_t CountOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

class AgentMail : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sink_.Start(280));
        const std::string server = sink_.Server();
        json cfg = {{"ports", {{{"port", 0}, {"units", {{{"unit", 0}, {"serial", kSn}}}}}}}};
        ASSERT_TRUE(sim_.Start(agent_.dir() + "/dev", cfg));
        ASSERT_TRUE(agent_.Start({"SendMail"}));
        ASSERT_TRUE(ConfigureMail(server, kRecipients));
        // Saved as the administrator set it.
        EXPECT_NE(ReadFile(agent_.dir() + "/mailSrv.cfg").find(server + "\n"), std::string::npos);
    }
    void TearDown() override {
        EXPECT_EQ(agent_.Stop(), 0);
        sim_.Stop();
    }
    void Inject(const std::string& name) {
        json r = sim_.Ctl({{"cmd", "inject-event"},
                           {"port", 0},
                           {"unit", 0},
                           {"name", name},
                           {"a", 0},
                           {"b", 5}});
        ASSERT_TRUE(r.value("ok", false)) << r.dump();
    }
    // The agent's files in its current directory whose names begin "event_<SN>_" (mail body
    // files and their scripts).
    std::vector<std::string> MailFiles() const {
        std::vector<std::string> out;
        const std::string prefix = std::string("event_") + kSn + "_";
        for (const auto& e : fs::directory_iterator(agent_.dir())) {
            const std::string name = e.path().filename().string();
            if (name.rfind(prefix, 0) == 0) out.push_back(name);
        }
        return out;
    }
    std::vector<std::string> HexLog() const {
        return SplitLines(ReadFile(agent_.dir() + "/event_bin_" + kSn));
    }

    SmtpSink sink_;
    AgentProcess agent_;
    SimProcess sim_;
};

TEST_F(AgentMail, ADiskGoingOfflineIsMailedToEveryRecipientAndOnlineIsNot) {
    Inject("disk-offline");
    ASSERT_TRUE(
        WaitFor([&] { return sink_.MailCount() >= kRecipients.size(); }, std::chrono::seconds(120)))
        << agent_.Log();
    ASSERT_EQ(HexLog().size(), 1u);
    const std::string line = HexLog()[0];  // date-time\SN\hex of the event
    const std::string date = line.substr(0, 8), time = line.substr(9, 8);
    const std::string hex = line.substr(line.rfind('\\') + 1);
    EXPECT_EQ(hex, "0300000501" + std::string(54, '0'));

    // Each recipient has its mail: the subject, and the body of the mail body file.
    const std::string body = "OS Time : " + date + " " + time + "\nSerial No. : " + kSn +
                             "\n\nEvent (str) : RAID 0, Disk A5 is Offline or Plugout.\n\n"
                             "Event (bin) : " +
                             hex + "\n\n\n";
    std::vector<std::string> to;
    for (size_t n = 1; n <= sink_.MailCount(); ++n) {
        const std::string raw = sink_.Raw(n);
        for (const std::string& l : SplitLines(raw))
            if (l.rfind("RCPT TO:", 0) == 0) to.push_back(l.substr(8));
        const std::string parsed = sink_.Parsed(n);
        EXPECT_NE(parsed.find("\nSubject: " + kSubject + "\n"), std::string::npos) << parsed;
        const size_t text = parsed.find("\n\n");
        ASSERT_NE(text, std::string::npos) << parsed;
        // The body file begins with a line feed; the mail's text may or may not keep it.
        std::string got = parsed.substr(text + 2);
        if (!got.empty() && got[0] == '\n') got.erase(0, 1);
        EXPECT_EQ(got, body) << parsed;
    }
    std::sort(to.begin(), to.end());
    std::vector<std::string> want = kRecipients;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(to, want);

    // The script removes the body file and itself once every recipient has been tried.
    EXPECT_TRUE(WaitFor([&] { return MailFiles().empty(); }, std::chrono::seconds(60)))
        << ::testing::PrintToString(MailFiles());

    // Online: recorded, no mail. A degraded array afterwards is mailed again, so that the
    // dispatch count in the log shows the online event had none.
    Inject("disk-online");
    Inject("degraded");
    ASSERT_TRUE(WaitFor([&] { return HexLog().size() == 3u; }, std::chrono::seconds(30)));
    ASSERT_TRUE(WaitFor([&] { return sink_.MailCount() >= 2 * kRecipients.size(); },
                        std::chrono::seconds(120)))
        << agent_.Log();
    EXPECT_EQ(CountOf(agent_.Log(), "IssueMailOut : event_"), 2u) << agent_.Log();
    for (size_t n = 1; n <= sink_.MailCount(); ++n)
        EXPECT_EQ(sink_.Parsed(n).find("Online"), std::string::npos);
    EXPECT_TRUE(WaitFor([&] { return MailFiles().empty(); }, std::chrono::seconds(60)));
    EXPECT_EQ(sink_.MailCount(), 2 * kRecipients.size());
}

}  // namespace

// The mail dispatch: the generated script, its quoting, its launch against a fake SendMail that
// records what it receives, and the failure paths.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/ServerLog.h"
#include "mail/MailConfig.h"
#include "mail/MailDispatch.h"
#include "mail/MailScript.h"
#include "platform/Socket.h"
#include "protocol/SysStatus.h"
#include "support/TestSupport.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// Stands in for SendMail in ServerDir: appends its argument count and its arguments, each ended
// by a NUL byte, to ./calls, and keeps a copy of the first script it finds (its 7th argument
// followed by ".sh") and of each body file it is given, and the script's mode.
const char FAKE_SENDMAIL[] =
    "#!/bin/sh\n"
    "printf '%s\\0' \"$#\" \"$@\" >> ./calls\n"
    "stat -c '%a' -- \"$7.sh\" >> ./modes\n"
    "[ -f ./script.copy ] || cp -- \"$7.sh\" ./script.copy\n"
    "cat -- \"$7\" >> ./bodies\n"
    "case \"$3\" in NULLx*) echo \"MAIL-OUTCOME failed refused $3 550 no such user\" ;;\n"
    "  *) echo \"MAIL-OUTCOME sent $3\" ;; esac\n";

std::string Quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string Cwd() {
    char buf[4096];
    return getcwd(buf, sizeof buf) != nullptr ? buf : "";
}

class MailDispatch : public testing::Test {
  protected:
    void SetUp() override {
        oldCwd_ = Cwd();
        ASSERT_EQ(chdir(work.path().c_str()), 0);
        cwd = Cwd();
        testing::internal::CaptureStdout();
        InitializeSmtp();
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(WriteFile(sd.File("SendMail"), FAKE_SENDMAIL));
        fs::permissions(sd.File("SendMail"), fs::perms::owner_all);
    }
    void TearDown() override { ASSERT_EQ(chdir(oldCwd_.c_str()), 0); }

    void SetItems(const std::vector<std::string>& items) {
        for (uint8_t i = 0; i < items.size(); ++i)
            ASSERT_EQ(SetMailSrvItem(i, items[i].data(), items[i].size()), SYS_SUCCESS);
    }
    void SetAddr(uint8_t slot, const std::string& a) {
        ASSERT_EQ(UpdateMailAddr(slot, a.data(), a.size()), SYS_SUCCESS);
    }
    // Writes the body file, dispatches it and waits until the script has removed both files.
    // Gives what IssueMailOut wrote to standard output.
    std::string Dispatch(uint8_t ctlrNo, const std::string& name, const std::string& body) {
        EXPECT_TRUE(WriteFile(work.File(name), body));
        testing::internal::CaptureStdout();
        IssueMailOut(ctlrNo, name.c_str());
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(WaitFor(
            [&] { return !FileExists(work.File(name)) && !FileExists(work.File(name + ".sh")); },
            std::chrono::seconds(30)))
            << "the script did not remove the body file and itself";
        return out;
    }
    // The recorded SendMail calls, each its list of arguments.
    std::vector<std::vector<std::string>> Calls() const {
        std::string raw = ReadFile(sd.File("calls"));
        std::vector<std::string> fields;
        size_t start = 0;
        for (size_t i = 0; i < raw.size(); ++i)
            if (raw[i] == '\0') {
                fields.push_back(raw.substr(start, i - start));
                start = i + 1;
            }
        std::vector<std::vector<std::string>> calls;
        for (size_t i = 0; i < fields.size();) {
            size_t n = std::stoul(fields[i]);
            calls.emplace_back(fields.begin() + static_cast<long>(i) + 1,
                               fields.begin() + static_cast<long>(i + 1 + n));
            i += 1 + n;
        }
        return calls;
    }

    ServerDirScope sd;
    TempDir work;  // the agent's current directory
    std::string cwd;

  private:
    std::string oldCwd_;
};

}  // namespace

TEST_F(MailDispatch, MailsEachRecipientInSlotOrderWithTheExactScript) {
    SetItems({"127.0.0.1:2525", "agent@x.test", "", "pw", "TRUE", "six"});
    SetAddr(0, "first@x.test");
    SetAddr(2, "NULL");  // valid, but receives no mail
    SetAddr(5, "NULLx@x.test");
    const std::string name = "event_SN0001_5";
    // Files whose names extend this one belong to other dispatches and must stay.
    for (const char* other : {"event_SN0001_55", "event_SN0001_55.sh", "event_SN0001_5x"})
        ASSERT_TRUE(WriteFile(work.File(other), "other"));
    const std::string body = "\nOS Time : 12/07/26 14:05:09\nSerial No. : SN0001\n\n";

    std::string out = Dispatch(3, name, body);

    const std::string S = sd.path(), C = cwd;
    auto block = [&](const std::string& addr) {
        return "cd '" + S + "'\n./SendMail '127.0.0.1:2525' 'agent@x.test' '" + addr +
               "' 'Tavenu RAID Manager Event Notification' '' 'pw' '" + C + "/" + name + "'\n";
    };
    const std::string script = block("first@x.test") + "\n" + block("NULLx@x.test") + "\n" +
                               "rm -f -- '" + C + "/" + name + "' '" + C + "/" + name + ".sh'\n";
    EXPECT_EQ(ReadFile(sd.File("script.copy")), script);

    auto call = [&](const std::string& addr) {
        return std::vector<std::string>{"127.0.0.1:2525",
                                        "agent@x.test",
                                        addr,
                                        "Tavenu RAID Manager Event Notification",
                                        "",
                                        "pw",
                                        C + "/" + name};
    };
    EXPECT_EQ(Calls(),
              (std::vector<std::vector<std::string>>{call("first@x.test"), call("NULLx@x.test")}));
    EXPECT_EQ(ReadFile(sd.File("bodies")), body + body);
    for (const char* other : {"event_SN0001_55", "event_SN0001_55.sh", "event_SN0001_5x"})
        EXPECT_TRUE(FileExists(work.File(other))) << other;

    // The script holds the password: only the agent's user may read it, and the log shows the
    // password masked.
    EXPECT_EQ(ReadFile(sd.File("modes")), "600\n600\n");
    auto logged = [&](const std::string& addr) {
        std::string b = block(addr);
        return b.replace(b.find("'pw'"), 4, "'********'");
    };
    // The script is watched: one line per recipient with its outcome, once the script ended.
    const std::string outcomes = "IssueMailOut [3] : " + name + " sent to first@x.test.\n" +
                                 "IssueMailOut [3] : " + name +
                                 " to NULLx@x.test failed, refused: 550 no such user\n";
    EXPECT_TRUE(WaitFor([&] { return sd.Log().find(outcomes) != std::string::npos; }));
    EXPECT_EQ(sd.Log(), "IssueMailOut : " + name + ".\n" + "--Create .bat ? pFile_EM =true \n" +
                            "IssueMailOut [3] : PathBuf2 = " + logged("first@x.test") +
                            "IssueMailOut [3] : PathBuf2 = " + logged("NULLx@x.test") +
                            "IssueMailOut : ShellExecute 42, GetLastError() 0 .\n" + outcomes);

    EXPECT_EQ(out, C + "\n" + C + "\n");
    EXPECT_EQ(CountFreeMailWorkRecs(), MAIL_WORK_POOL_SZ);
}

TEST_F(MailDispatch, HostileSettingsReachSendMailIntactAndRunNothing) {
    const std::string pwn = work.File("pwned");
    fs::create_directory(sd.File("victim"));
    const std::vector<std::string> items = {
        "'; touch " + pwn + "1 #",
        "$(touch " + pwn + "2)",
        "a'b''c\\'\\\\",
        "line one\ntouch " + pwn + "3\n",
    };
    SetItems(items);
    const std::vector<std::string> addrs = {
        "`touch " + pwn + "4`\"; touch " + pwn + "5; \"",
        "'; rm -rf ./victim #",
        "x@y.test'\"'\"'$HOME ${IFS} * ? [a] ~ & | ; < > !",
    };
    for (uint8_t i = 0; i < addrs.size(); ++i)
        SetAddr(i, addrs[i]);
    // A controller's serial number could carry such bytes into the body file name too.
    const std::string name = "event_'$(touch pwned6)'_1";

    Dispatch(0, name, "body\n");

    std::vector<std::vector<std::string>> want;
    for (const auto& a : addrs)
        want.push_back({items[0], items[1], a, "Tavenu RAID Manager Event Notification", items[2],
                        items[3], cwd + "/" + name});
    EXPECT_EQ(Calls(), want);
    for (const std::string& p : {pwn + "1", pwn + "2", pwn + "3", pwn + "4", pwn + "5",
                                 work.File("pwned6"), sd.File("pwned6")})
        EXPECT_FALSE(FileExists(p)) << p << " was created: a setting ran as a command";
    EXPECT_TRUE(FileExists(sd.File("victim")));
}

TEST_F(MailDispatch, EveryArgumentIsSingleQuoted) {
    MailSrvSettings srv{};
    std::snprintf(srv.MailSrvItem1, sizeof srv.MailSrvItem1, "%s", "'; rm -rf / #");
    std::snprintf(srv.MailSrvItem2, sizeof srv.MailSrvItem2, "%s", "$(touch /tmp/x)");
    EXPECT_EQ(mail_os::FormatRecipientLines("/srv/dir it's", srv, "a@b", "Subj", "/cwd", "m_1"),
              "cd '/srv/dir it'\\''s'\n"
              "./SendMail ''\\''; rm -rf / #' '$(touch /tmp/x)' 'a@b' 'Subj' '' '' '/cwd/m_1'\n");
    EXPECT_EQ(mail_os::FormatRemoveLine("/", "m_1", "m_1.sh"), "rm -f -- '/m_1' '/m_1.sh'\n");
    EXPECT_EQ(mail_os::FormatRemoveLine(nullptr, "m'1", "m'1.sh"),
              "rm -f -- " + Quoted("./m'1") + " " + Quoted("./m'1.sh") + "\n");
}

// The subject from [mail] subject: {serial} with its control characters made '_', {host} the
// host's name, the same for every recipient.
TEST_F(MailDispatch, TheSubjectNamesTheSerialAndTheHost) {
    SetItems({"127.0.0.1:2525", "agent@x.test", "", "pw", "TRUE", ""});
    SetAddr(0, "first@x.test");
    SetAddr(1, "second@x.test");
    SetMailSubject("RAID {serial} on {host}: {serial}");
    const std::string name = "event_SN7_1";
    ASSERT_TRUE(WriteFile(work.File(name), "body\n"));
    testing::internal::CaptureStdout();
    DispatchMail(2, name.c_str(), "SN\x01\x7F-9", nullptr);
    testing::internal::GetCapturedStdout();
    SetMailSubject(nullptr);
    ASSERT_TRUE(WaitFor([&] { return !FileExists(work.File(name + ".sh")); }));

    char host[256] = {};
    ASSERT_TRUE(plat::SockHostName(host, sizeof host));
    const std::string subject = std::string("RAID SN__-9 on ") + host + ": SN__-9";
    const auto calls = Calls();
    ASSERT_EQ(calls.size(), 2u);
    for (const auto& call : calls)
        EXPECT_EQ(call.at(3), subject);
}

// Without the mailer the script ends with no outcome line: every recipient failed, no_outcome.
TEST_F(MailDispatch, AMissingMailerFailsEveryRecipientWithNoOutcome) {
    SetItems({"127.0.0.1:2525", "agent@x.test", "", "pw", "TRUE", ""});
    SetAddr(0, "first@x.test");
    SetAddr(1, "second@x.test");
    fs::remove(sd.File("SendMail"));
    const MailOutcomeStats before = GetMailOutcomeStats();
    const std::string name = "event_SN8_1";
    ASSERT_TRUE(WriteFile(work.File(name), "body\n"));
    auto watch = std::make_shared<MailWatch>();
    testing::internal::CaptureStdout();
    DispatchMail(3, name.c_str(), "SN8", watch);
    testing::internal::GetCapturedStdout();
    {
        std::unique_lock<std::mutex> lock(watch->lock);
        ASSERT_TRUE(watch->done.wait_for(lock, std::chrono::seconds(30),
                                         [&] { return watch->outcomes.finished; }));
        EXPECT_TRUE(watch->outcomes.watched);
        ASSERT_EQ(watch->outcomes.recipients.size(), 2u);
        for (const MailRecipientOutcome& o : watch->outcomes.recipients) {
            EXPECT_TRUE(o.known) << o.address;
            EXPECT_FALSE(o.sent) << o.address;
            EXPECT_EQ(o.reason, "no_outcome") << o.address;
        }
    }
    for (const char* to : {"first@x.test", "second@x.test"})
        EXPECT_NE(
            sd.Log().find("IssueMailOut [3] : " + name + " to " + to + " failed, no_outcome: \n"),
            std::string::npos)
            << sd.Log();
    const MailOutcomeStats after = GetMailOutcomeStats();
    const auto noOutcome = static_cast<size_t>(MailFailReason::NoOutcome);
    EXPECT_EQ(after.failed[noOutcome] - before.failed[noOutcome], 2u);
    EXPECT_EQ(after.sent, before.sent);
}

TEST_F(MailDispatch, WithoutRecipientsTheScriptOnlyRemovesTheFiles) {
    SetItems({"h", "f@x.test", "u", "p", "TRUE", ""});
    const std::string name = "event_SN2_7";
    Dispatch(1, name, "body\n");
    EXPECT_FALSE(FileExists(sd.File("calls")));
    std::string log = sd.Log();
    EXPECT_EQ(log.find("PathBuf2"), std::string::npos) << log;
    EXPECT_NE(log.find("IssueMailOut : ShellExecute 42, GetLastError() 0 .\n"), std::string::npos)
        << log;
}

TEST_F(MailDispatch, AScriptThatCannotBeCreatedLaunchesNothing) {
    SetAddr(0, "a@x.test");
    struct Case {
        const char* why;
        std::string name;
    };
    fs::create_directory(work.File("event_SN3_9.sh"));
    fs::create_directory(work.File("sub"));
    const std::vector<Case> cases = {
        {"a directory in the way", "event_SN3_9"},
        {"an empty name", ""},
        {"a name with a directory in it", "sub/event_SN3_1"},
        {"a name that reads as an option", "-event_SN3_1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        if (c.name.find('/') != std::string::npos) {
            ASSERT_TRUE(WriteFile(work.File(c.name), "body\n"));
        }
        std::string before = sd.Log();
        testing::internal::CaptureStdout();
        IssueMailOut(4, c.name.c_str());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(sd.Log().substr(before.size()),
                  "IssueMailOut : " + c.name + ".\n--Create .bat ? pFile_EM =false \n" +
                      "IssueMailOut : Open " + c.name + ".sh fail, return.\n");
        EXPECT_EQ(CountFreeMailWorkRecs(), MAIL_WORK_POOL_SZ);
    }
    EXPECT_TRUE(FileExists(work.File("sub/event_SN3_1")));  // the body file stays
    EXPECT_FALSE(FileExists(work.File("sub/event_SN3_1.sh")));
    IssueMailOut(4, nullptr);  // no name at all: refused the same way
    EXPECT_FALSE(FileExists(sd.File("calls")));
}

TEST_F(MailDispatch, AScriptThatCannotBeWrittenWholeIsRemovedAndNotLaunched) {
    SetAddr(0, "a@x.test");
    const std::string name = "event_SN4_2";
    ASSERT_TRUE(WriteFile(work.File(name), "body\n"));
    fs::create_symlink("/dev/full", work.File(name + ".sh"));  // every write fails
    IssueMailOut(5, name.c_str());
    std::string log = sd.Log();
    EXPECT_NE(log.find("IssueMailOut : Write " + name + ".sh fail, return.\n"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("ShellExecute"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(fs::symlink_status(work.File(name + ".sh"))));
    EXPECT_TRUE(FileExists(work.File(name)));
    EXPECT_EQ(CountFreeMailWorkRecs(), MAIL_WORK_POOL_SZ);
}

TEST_F(MailDispatch, AnUnreadableCurrentDirectoryMailsNobodyAndDoesNotCrash) {
    SetAddr(0, "a@x.test");
    fs::create_directory(work.File("gone"));
    ASSERT_EQ(chdir(work.File("gone").c_str()), 0);
    fs::remove(work.File("gone"));
    testing::internal::CaptureStdout();
    IssueMailOut(6, "event_SN5_3");
    testing::internal::GetCapturedStdout();
    EXPECT_NE(sd.Log().find("IssueMailOut : Open event_SN5_3.sh fail, return.\n"),
              std::string::npos);
    EXPECT_EQ(CountFreeMailWorkRecs(), MAIL_WORK_POOL_SZ);
    EXPECT_FALSE(FileExists(sd.File("calls")));
}

TEST_F(MailDispatch, ADryPoolMailsNothing) {
    SetAddr(0, "a@x.test");
    std::vector<MailWorkRec*> taken;
    while (MailWorkRec* r = TakeMailWorkRec())
        taken.push_back(r);
    EXPECT_EQ(taken.size(), MAIL_WORK_POOL_SZ);
    EXPECT_EQ(taken.front(), &MailWorkPool[0]);
    EXPECT_EQ(taken.back(), &MailWorkPool[MAIL_WORK_POOL_SZ - 1]);

    ASSERT_TRUE(WriteFile(work.File("event_SN6_4"), "body\n"));
    testing::internal::CaptureStdout();
    IssueMailOut(7, "event_SN6_4");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERR: MAIL_ENTRY_EMPTY\n");
    EXPECT_EQ(sd.Log(), "IssueMailOut : MAIL_ENTRY_EMPTY, event_SN6_4 is not mailed.\n");
    EXPECT_FALSE(FileExists(work.File("event_SN6_4.sh")));

    // Records come back last in, first out.
    for (MailWorkRec* r : taken)
        PutMailWorkRec(r);
    EXPECT_EQ(CountFreeMailWorkRecs(), MAIL_WORK_POOL_SZ);
    EXPECT_EQ(TakeMailWorkRec(), taken.back());
}

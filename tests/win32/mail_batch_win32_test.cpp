// The mail batch file on Windows: run by the real command interpreter, every setting reaches the
// mailer as one argument, nothing in a setting is run as a command, and the last line removes
// exactly this dispatch's two files.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "base/ServerLog.h"
#include "mail/MailConfig.h"
#include "mail/MailDispatch.h"
#include "mail/MailScript.h"
#include "support/TestSupport.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

void SetItem(uint8_t item, const std::string& text) {
    ASSERT_EQ(SetMailSrvItem(item, text.data(), text.size()), 0x50);
}

}  // namespace

TEST(MailBatchWin32, QuotingKeepsEveryCharacterOfTheSettingsInsideItsArgument) {
    MailSrvSettings srv{};
    std::snprintf(srv.MailSrvItem1, sizeof srv.MailSrvItem1, "%s", "smtp & del *.*");
    std::snprintf(srv.MailSrvItem2, sizeof srv.MailSrvItem2, "%s", "a|b^c<d>e %PATH%");
    std::snprintf(srv.MailSrvItem3, sizeof srv.MailSrvItem3, "%s", "say \"hi\" & exit");
    std::snprintf(srv.MailSrvItem4, sizeof srv.MailSrvItem4, "%s", "");
    std::string lines = mail_os::FormatRecipientLines("C:\\Agent Dir", srv, "x@y", "Subject",
                                                      "D:\\work\\", "event_SN_7");
    EXPECT_EQ(lines,
              "cd /d \"C:\\Agent Dir\"\n"
              "java -classpath .\\mail.jar;.\\activation.jar;.\\ SendMail \"smtp & del *.*\" "
              "\"a|b^c<d>e %%PATH%%\" \"x@y\" \"Subject\" \"say hi & exit\" \"\" "
              "\"D:\\work\\event_SN_7\"\n");
    EXPECT_EQ(mail_os::FormatRemoveLine("D:\\work", "event_SN_7", "event_SN_7.bat"),
              "del /q \"D:\\work\\event_SN_7\" \"D:\\work\\event_SN_7.bat\"\n");
    // A trailing backslash is doubled so that the closing quote still closes.
    EXPECT_NE(mail_os::FormatRecipientLines("C:\\Dir\\", srv, "x", "s", "C:\\w", "f")
                  .find("cd /d \"C:\\Dir\\\\\""),
              std::string::npos);
}

TEST(MailBatchWin32, TheCommandInterpreterRunsTheMailerWithTheArgumentsIntact) {
    ServerDirScope serverDir;
    TempDir cwd;
    fs::path before = fs::current_path();
    fs::current_path(cwd.path());

    // The mailer: a program that records its arguments, where the batch file changes to.
    fs::copy_file(BinPath("test_argdump.exe"), serverDir.File("java.exe"));
    InitializeSmtp();
    const std::string addr = "ops&admin@example.com";
    ASSERT_EQ(UpdateMailAddr(0, addr.data(), addr.size()), 0x50);
    SetItem(MAIL_SRV_ITEM1, "127.0.0.1:2525");
    SetItem(MAIL_SRV_ITEM2, "agent@example.com & echo pwned> pwned.txt");
    SetItem(MAIL_SRV_ITEM3, "%USERNAME%");
    SetItem(MAIL_SRV_ITEM4, "p^w|d\"q");
    SetMailEnable(true);

    const char* mailFile = "event_SN0001_42";
    ASSERT_TRUE(WriteFile(cwd.File(mailFile), "\nbody\n"));
    IssueMailOut(0, mailFile);

    std::string args = serverDir.File("args.txt");
    ASSERT_TRUE(WaitFor([&] { return FileExists(args) && !ReadFile(args).empty(); }))
        << serverDir.Log();
    std::vector<std::string> got = SplitLines(ReadFile(args));
    std::vector<std::string> want = {"-classpath",
                                     ".\\mail.jar;.\\activation.jar;.\\",
                                     "SendMail",
                                     "127.0.0.1:2525",
                                     "agent@example.com & echo pwned> pwned.txt",
                                     addr,
                                     "Tavenu RAID Manager Event Notification",
                                     "%USERNAME%",
                                     "p^w|dq",
                                     cwd.path() + "\\" + mailFile};
    EXPECT_EQ(got, want);
    // Nothing of a setting ran, and the two files of this dispatch are gone.
    EXPECT_FALSE(FileExists(serverDir.File("pwned.txt")));
    EXPECT_FALSE(FileExists(cwd.File("pwned.txt")));
    EXPECT_TRUE(WaitFor([&] {
        return !FileExists(cwd.File(mailFile)) &&
               !FileExists(cwd.File(std::string(mailFile) + ".bat"));
    }));
    EXPECT_NE(serverDir.Log().find("IssueMailOut : ShellExecute "), std::string::npos);
    fs::current_path(before);
}

// The mail recipients and mail server items: start-up load, token rules, saves.
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/ServerLog.h"
#include "mail/MailConfig.h"
#include "mail/MailDispatch.h"
#include "protocol/SysStatus.h"
#include "support/TestSupport.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::string BLANKS(MAIL_ADDR_EMPTY_TEXT);

std::string Addr(uint8_t i) {
    char out[MAIL_ADDR_SIZE];
    EXPECT_EQ(GetMailAddr(i, out), SYS_SUCCESS);
    return out;
}

std::vector<std::string> AllAddrs() {
    std::vector<std::string> v;
    for (uint8_t i = 0; i < MAX_MIS_SZ; ++i)
        v.push_back(Addr(i));
    return v;
}

std::string Item(uint8_t item) {
    char out[MAIL_SRV_TEXT_BUF];
    GetMailSrvItem(item, out, sizeof out);
    return out;
}

std::vector<std::string> AllItems() {
    std::vector<std::string> v;
    for (uint8_t i = 0; i < MAIL_SRV_ITEMS; ++i)
        v.push_back(Item(i));
    return v;
}

// Runs InitializeSmtp and gives what it wrote to standard output.
std::string StartUp() {
    testing::internal::CaptureStdout();
    InitializeSmtp();
    return testing::internal::GetCapturedStdout();
}

std::string Lines(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& l : v)
        s += l + "\n";
    return s;
}

class MailConfig : public testing::Test {
  protected:
    void WriteCfg(const std::string& content) {
        ASSERT_TRUE(WriteFile(sd.File("mail.cfg"), content));
    }
    void WriteSrv(const std::string& content) {
        ASSERT_TRUE(WriteFile(sd.File("mailSrv.cfg"), content));
    }
    std::string Cfg() const { return ReadFile(sd.File("mail.cfg")); }
    std::string Srv() const { return ReadFile(sd.File("mailSrv.cfg")); }

    ServerDirScope sd;
};

}  // namespace

TEST_F(MailConfig, WithoutFilesOnlySlot11HoldsNullAndMailIsOff) {
    EXPECT_EQ(StartUp(), "Initialize SMTP\n");
    std::vector<std::string> want(11, BLANKS);
    want.push_back("NULL");
    EXPECT_EQ(AllAddrs(), want);
    EXPECT_EQ(AllItems(), std::vector<std::string>(6, ""));
    EXPECT_EQ(IsMailEnabled(), 0);
    EXPECT_FALSE(MailEnableIsTrue());
    EXPECT_EQ(CountFreeMailWorkRecs(), MAIL_WORK_POOL_SZ);
    EXPECT_FALSE(FileExists(sd.File("mail.cfg")));

    ASSERT_TRUE(SaveMailAddrFile());
    EXPECT_EQ(Cfg(), Lines(std::vector<std::string>(12, "NULL")));
    ASSERT_TRUE(SaveMailSrvFile());
    EXPECT_EQ(Srv(), Lines(std::vector<std::string>(6, "NULL")));
    EXPECT_FALSE(FileExists(sd.File("mail.cfg.tmp")));
    EXPECT_FALSE(FileExists(sd.File("mailSrv.cfg.tmp")));
    EXPECT_EQ(sd.Log(), "");  // nothing here writes to the server log
}

TEST_F(MailConfig, MailCfgIsReadAsTokensIntoSlotsInOrder) {
    struct Case {
        const char* name;
        std::string content;
        std::vector<std::string> first;  // slots from 0 on; the others up to 10 are blank
        std::string stdoutText;
    };
    std::string thirteen;
    std::vector<std::string> firstEleven;
    for (int i = 0; i < 13; ++i) {
        thirteen += "t" + std::to_string(i) + "@x.test\n";
        if (i < 11) firstEleven.push_back("t" + std::to_string(i) + "@x.test");
    }
    const std::vector<Case> cases = {
        {"tokens merely containing NULL leave their slot empty",
         "a@x.test\nxNULLx\nNULL2\nNULL\nb@y.test\n",
         {"a@x.test", BLANKS, BLANKS, BLANKS, "b@y.test"},
         ""},
        {"an address with a blank fills two slots",
         "first last@x.test\nc@y.test\n",
         {"first", "last@x.test", "c@y.test"},
         ""},
        {"blank lines, tabs and CRLF only separate",
         "\r\n\r\n  a@x.test\t\tb@y.test\r\n\r\n\n\f\vc@z.test",
         {"a@x.test", "b@y.test", "c@z.test"},
         ""},
        {"slot 11 always reads NULL after start-up",
         Lines(std::vector<std::string>(12, "keep@x.test")),
         std::vector<std::string>(11, "keep@x.test"), ""},
        {"a NUL byte ends its token's text but separates nothing",
         std::string("a@x.test\0junk\nb@y.test\n", 23),
         {"a@x.test", "b@y.test"},
         ""},
        {"a token that starts with a NUL byte is empty and leaves its slot empty",
         std::string("\0junk\nb@y.test\n", 15),
         {BLANKS, "b@y.test"},
         ""},
        {"a 13th token is never stored", thirteen, firstEleven, "bIndex >= MAX_MIS_SZ"},
        {"an empty file", "", {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteCfg(c.content);
        EXPECT_EQ(StartUp(), "Initialize SMTP\n" + c.stdoutText);
        std::vector<std::string> want = c.first;
        want.resize(11, BLANKS);
        want.push_back("NULL");
        EXPECT_EQ(AllAddrs(), want);
    }
}

TEST_F(MailConfig, SavedRecipientsReadBackAndEmptySlotsBecomeNull) {
    StartUp();
    ASSERT_EQ(UpdateMailAddr(0, "a@x.test", 8), SYS_SUCCESS);
    ASSERT_EQ(UpdateMailAddr(1, "NULL", 4), SYS_SUCCESS);  // valid, reported as NULL
    ASSERT_EQ(UpdateMailAddr(3, "NULLx@y.test", 12), SYS_SUCCESS);
    ASSERT_EQ(UpdateMailAddr(4, "gone@x.test", 11), SYS_SUCCESS);
    ASSERT_EQ(UpdateMailAddr(4, "", 0), SYS_SUCCESS);  // the empty text empties the slot
    ASSERT_EQ(UpdateMailAddr(5, "c@z.testTAIL", 8), SYS_SUCCESS);     // only len bytes count
    ASSERT_EQ(UpdateMailAddr(6, "d@z.test\0junk", 13), SYS_SUCCESS);  // up to a NUL
    ASSERT_EQ(UpdateMailAddr(7, "p@x.test", 8), SYS_SUCCESS);
    ASSERT_EQ(ClearMailAddr(7), SYS_SUCCESS);
    ASSERT_EQ(UpdateMailAddr(11, "last@x.test", 11), SYS_SUCCESS);
    EXPECT_EQ(Addr(1), "NULL");
    EXPECT_EQ(Addr(4), BLANKS);
    EXPECT_EQ(Addr(5), "c@z.test");
    EXPECT_EQ(Addr(6), "d@z.test");
    EXPECT_EQ(Addr(7), BLANKS);
    ASSERT_TRUE(SaveMailAddrFile());
    EXPECT_EQ(Cfg(), Lines({"a@x.test", "NULL", "NULL", "NULLx@y.test", "NULL", "c@z.test",
                            "d@z.test", "NULL", "NULL", "NULL", "NULL", "last@x.test"}));
    // Both files are the agent's user's alone, also when one existed readable by all.
    ASSERT_TRUE(WriteFile(sd.File("mailSrv.cfg"), "old\n"));
    std::filesystem::permissions(sd.File("mailSrv.cfg"), std::filesystem::perms::all);
    ASSERT_TRUE(SaveMailSrvFile());
    for (const char* name : {"mail.cfg", "mailSrv.cfg"})
        EXPECT_EQ(std::filesystem::status(sd.File(name)).permissions(),
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
            << name;

    // After a restart NULLx is gone from its slot (it contains NULL) and slot 11 is NULL again.
    StartUp();
    std::vector<std::string> want = {"a@x.test", BLANKS, BLANKS, BLANKS, BLANKS, "c@z.test",
                                     "d@z.test", BLANKS, BLANKS, BLANKS, BLANKS, "NULL"};
    EXPECT_EQ(AllAddrs(), want);
}

TEST_F(MailConfig, SlotIndexTwelveOrMoreFailsAndChangesNothing) {
    StartUp();
    ASSERT_EQ(UpdateMailAddr(0, "a@x.test", 8), SYS_SUCCESS);
    ASSERT_TRUE(SaveMailAddrFile());
    std::string before = Cfg();
    for (int index : {12, 13, 127, 255}) {
        SCOPED_TRACE(index);
        uint8_t i = static_cast<uint8_t>(index);
        EXPECT_EQ(UpdateMailAddr(i, "b@x.test", 8), SYSFAIL_MAIL_INDEX_ERR);
        EXPECT_EQ(ClearMailAddr(i), SYSFAIL_MAIL_INDEX_ERR);
        char out[MAIL_ADDR_SIZE] = "untouched";
        EXPECT_EQ(GetMailAddr(i, out), SYSFAIL_MAIL_INDEX_ERR);
        EXPECT_STREQ(out, "untouched");
    }
    std::vector<std::string> want = {"a@x.test"};
    want.resize(11, BLANKS);
    want.push_back("NULL");
    EXPECT_EQ(AllAddrs(), want);
    EXPECT_EQ(Cfg(), before);
}

TEST_F(MailConfig, MailSrvCfgTokensAreStoredAsTheyStand) {
    struct Case {
        const char* name;
        std::string content;
        std::vector<std::string> items;
        uint8_t enabled;
        bool dispatchOn;
    };
    const std::vector<Case> cases = {
        {"six lines, NULL on line 3 stays the text NULL",
         "smtp.x.test:587\nagent@x.test\nNULL\nsecret\nTRUE\nsix\n",
         {"smtp.x.test:587", "agent@x.test", "NULL", "secret", "TRUE", "six"},
         1,
         true},
        {"three lines: items 4 to 6 empty, mail off",
         "smtp.x.test\nagent@x.test\nuser\n",
         {"smtp.x.test", "agent@x.test", "user", "", "", ""},
         0,
         false},
        {"true counts for clients but not for dispatch",
         "h\nf\nu\np\ntrue\ns\n",
         {"h", "f", "u", "p", "true", "s"},
         1,
         false},
        {"any other switch text is off",
         "h f u p True s",
         {"h", "f", "u", "p", "True", "s"},
         0,
         false},
        {"CRLF line ends and extra tokens",
         "h\r\nf\r\n\r\nu\r\np\r\nFALSE\r\ns\r\nextra\r\n",
         {"h", "f", "u", "p", "FALSE", "s"},
         0,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteSrv(c.content);
        StartUp();
        EXPECT_EQ(AllItems(), c.items);
        EXPECT_EQ(IsMailEnabled(), c.enabled);
        EXPECT_EQ(MailEnableIsTrue(), c.dispatchOn);
    }
    // A missing file after a loaded one leaves every item empty.
    fs::remove(sd.File("mailSrv.cfg"));
    StartUp();
    EXPECT_EQ(AllItems(), std::vector<std::string>(6, ""));
}

TEST_F(MailConfig, OverlongTokensAreCutToTheCapacity) {
    WriteCfg(std::string(300, 'a') + "\nb@y.test\n" + std::string(128, 'c') + "\n" +
             std::string(127, 'd') + "\n");
    WriteSrv(std::string(200, 'h') + "\n" + std::string(128, 'f') + "\n" + std::string(100, 'u') +
             "\n" + std::string(64, 'p') + "\nTRUE" + std::string(80, 'E') + "\n" +
             std::string(63, 's') + "\n");
    StartUp();
    EXPECT_EQ(Addr(0), std::string(127, 'a'));
    EXPECT_EQ(Addr(1), "b@y.test");  // the rest of a long token is not a token of its own
    EXPECT_EQ(Addr(2), std::string(127, 'c'));
    EXPECT_EQ(Addr(3), std::string(127, 'd'));
    EXPECT_EQ(Addr(4), BLANKS);
    EXPECT_EQ(AllItems(),
              (std::vector<std::string>{std::string(127, 'h'), std::string(127, 'f'),
                                        std::string(63, 'u'), std::string(63, 'p'),
                                        "TRUE" + std::string(59, 'E'), std::string(63, 's')}));
    EXPECT_FALSE(MailEnableIsTrue());
}

TEST_F(MailConfig, GarbageFilesNeverOverrunAnything) {
    std::mt19937 rng(20261207);
    for (int round = 0; round < 20; ++round) {
        std::string junk(1 + rng() % 70000, '\0');
        for (auto& ch : junk) {
            // Mostly long runs of text, with separators and NUL bytes now and then.
            unsigned r = rng() % 100;
            ch = r < 3 ? '\0' : r < 6 ? '\n' : r < 8 ? ' ' : static_cast<char>(rng() % 256);
        }
        WriteCfg(junk);
        WriteSrv(junk);
        testing::internal::CaptureStdout();
        InitializeSmtp();
        testing::internal::GetCapturedStdout();
        for (uint8_t i = 0; i < MAX_MIS_SZ; ++i)
            EXPECT_LE(Addr(i).size(), MAIL_ADDR_SIZE - 1);
        for (uint8_t i = 0; i < MAIL_SRV_ITEMS; ++i)
            EXPECT_LT(Item(i).size(), MailSrvItemCapacity(i));
    }
}

TEST_F(MailConfig, ItemSetClearsTheCapacityAndTheSaveCutsToCapacityLessOne) {
    StartUp();
    EXPECT_EQ(MailSrvItemCapacity(MAIL_SRV_ITEM1), 128u);
    EXPECT_EQ(MailSrvItemCapacity(MAIL_SRV_ITEM2), 128u);
    for (uint8_t i : {MAIL_SRV_ITEM3, MAIL_SRV_ITEM4, MAIL_SRV_ENABLE, MAIL_SRV_ITEM6})
        EXPECT_EQ(MailSrvItemCapacity(i), 64u);
    EXPECT_EQ(MailSrvItemCapacity(6), 0u);

    // A set takes at most the capacity; a 64-character item 6 lives until the next save.
    std::string two00(200, 'S');
    ASSERT_EQ(SetMailSrvItem(MAIL_SRV_ITEM6, two00.data(), two00.size()), SYS_SUCCESS);
    EXPECT_EQ(Item(MAIL_SRV_ITEM6), std::string(64, 'S'));
    ASSERT_EQ(SetMailSrvItem(MAIL_SRV_ITEM1, two00.data(), two00.size()), SYS_SUCCESS);
    EXPECT_EQ(Item(MAIL_SRV_ITEM1), std::string(128, 'S'));

    // Set clears: a shorter text leaves nothing of the longer one; a NUL ends the text.
    ASSERT_EQ(SetMailSrvItem(MAIL_SRV_ITEM2, "longer.host.test", 16), SYS_SUCCESS);
    ASSERT_EQ(SetMailSrvItem(MAIL_SRV_ITEM2, "ab", 2), SYS_SUCCESS);
    EXPECT_EQ(Item(MAIL_SRV_ITEM2), "ab");
    ASSERT_EQ(SetMailSrvItem(MAIL_SRV_ITEM3, "u\0ser", 5), SYS_SUCCESS);
    EXPECT_EQ(Item(MAIL_SRV_ITEM3), "u");
    ASSERT_EQ(SetMailSrvItem(MAIL_SRV_ITEM4, nullptr, 5), SYS_SUCCESS);
    EXPECT_EQ(Item(MAIL_SRV_ITEM4), "");
    EXPECT_EQ(SetMailSrvItem(6, "x", 1), SYSFAIL_MAIL_INDEX_ERR);
    EXPECT_EQ(SetMailSrvItem(255, "x", 1), SYSFAIL_MAIL_INDEX_ERR);

    SetMailEnable(true);
    EXPECT_EQ(Item(MAIL_SRV_ENABLE), "TRUE");
    ASSERT_TRUE(SaveMailSrvFile());
    EXPECT_EQ(Srv(),
              Lines({std::string(127, 'S'), "ab", "u", "NULL", "TRUE", std::string(63, 'S')}));
    EXPECT_EQ(Item(MAIL_SRV_ITEM6), std::string(63, 'S'));  // gone from memory too
    EXPECT_EQ(Item(MAIL_SRV_ITEM1), std::string(127, 'S'));

    // Reads cut to the caller's buffer and always terminate it.
    char small[5];
    EXPECT_EQ(GetMailSrvItem(MAIL_SRV_ITEM1, small, sizeof small), 4u);
    EXPECT_STREQ(small, "SSSS");
    EXPECT_EQ(GetMailSrvItem(6, small, sizeof small), 0u);
    EXPECT_STREQ(small, "");

    // The saved file reads back the same; the empty item 4 is now the text NULL.
    StartUp();
    EXPECT_EQ(AllItems(), (std::vector<std::string>{std::string(127, 'S'), "ab", "u", "NULL",
                                                    "TRUE", std::string(63, 'S')}));
    SetMailEnable(false);
    EXPECT_EQ(Item(MAIL_SRV_ENABLE), "FALSE");
    EXPECT_EQ(IsMailEnabled(), 0);
}

TEST_F(MailConfig, StartUpEmptiesExistingBootMessageFilesOnly) {
    for (int n : {0, 3, 15, 16})
        ASSERT_TRUE(WriteFile(sd.File("mailBootMsg" + std::to_string(n)), "old message\n"));
    StartUp();
    for (int n : {0, 3, 15}) {
        SCOPED_TRACE(n);
        EXPECT_TRUE(FileExists(sd.File("mailBootMsg" + std::to_string(n))));
        EXPECT_EQ(fs::file_size(sd.File("mailBootMsg" + std::to_string(n))), 0u);
    }
    EXPECT_EQ(ReadFile(sd.File("mailBootMsg16")), "old message\n");  // not one of the sixteen
    for (int n : {1, 2, 4, 14})
        EXPECT_FALSE(FileExists(sd.File("mailBootMsg" + std::to_string(n))));
}

TEST_F(MailConfig, AFailedSaveLeavesTheOldFileWhole) {
    StartUp();
    ASSERT_EQ(UpdateMailAddr(0, "old@x.test", 10), SYS_SUCCESS);
    ASSERT_EQ(SetMailSrvItem(MAIL_SRV_ITEM1, "old.host", 8), SYS_SUCCESS);
    ASSERT_TRUE(SaveMailAddrFile());
    ASSERT_TRUE(SaveMailSrvFile());
    const std::string oldCfg = Cfg(), oldSrv = Srv();
    ASSERT_EQ(UpdateMailAddr(0, "new@x.test", 10), SYS_SUCCESS);
    ASSERT_EQ(SetMailSrvItem(MAIL_SRV_ITEM1, "new.host", 8), SYS_SUCCESS);

    {
        SCOPED_TRACE("a directory where the temporary file goes");
        fs::create_directory(sd.File("mail.cfg.tmp"));
        fs::create_directory(sd.File("mailSrv.cfg.tmp"));
        EXPECT_FALSE(SaveMailAddrFile());
        EXPECT_FALSE(SaveMailSrvFile());
        EXPECT_EQ(Cfg(), oldCfg);
        EXPECT_EQ(Srv(), oldSrv);
        fs::remove(sd.File("mail.cfg.tmp"));
        fs::remove(sd.File("mailSrv.cfg.tmp"));
    }
    {
        SCOPED_TRACE("a full disk: every write fails");
        fs::create_symlink("/dev/full", sd.File("mail.cfg.tmp"));
        fs::create_symlink("/dev/full", sd.File("mailSrv.cfg.tmp"));
        EXPECT_FALSE(SaveMailAddrFile());
        EXPECT_FALSE(SaveMailSrvFile());
        EXPECT_EQ(Cfg(), oldCfg);
        EXPECT_EQ(Srv(), oldSrv);
        // The temporary name is removed again (the link itself, not its target).
        EXPECT_FALSE(fs::exists(fs::symlink_status(sd.File("mail.cfg.tmp"))));
        EXPECT_FALSE(fs::exists(fs::symlink_status(sd.File("mailSrv.cfg.tmp"))));
        EXPECT_TRUE(FileExists("/dev/full"));
    }
    {
        SCOPED_TRACE("the file cannot be replaced");
        std::string saved = sd.File("saved.cfg");
        fs::rename(sd.File("mail.cfg"), saved);
        fs::create_directory(sd.File("mail.cfg"));
        ASSERT_TRUE(WriteFile(sd.File("mail.cfg") + "/inside", "x"));
        EXPECT_FALSE(SaveMailAddrFile());
        EXPECT_EQ(ReadFile(sd.File("mail.cfg") + "/inside"), "x");
        EXPECT_FALSE(FileExists(sd.File("mail.cfg.tmp")));
        fs::remove_all(sd.File("mail.cfg"));
        fs::rename(saved, sd.File("mail.cfg"));
    }
    {
        SCOPED_TRACE("the next save succeeds");
        EXPECT_TRUE(SaveMailAddrFile());
        EXPECT_TRUE(SaveMailSrvFile());
        EXPECT_EQ(Cfg().substr(0, 11), "new@x.test\n");
        EXPECT_EQ(Srv().substr(0, 9), "new.host\n");
    }
    {
        SCOPED_TRACE("no ServerDir");
        SetServerDir("");
        EXPECT_FALSE(SaveMailAddrFile());
        EXPECT_FALSE(SaveMailSrvFile());
        SetServerDir(sd.path().c_str());
    }
}

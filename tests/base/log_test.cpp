// The server log and ServerDir.
#include <gtest/gtest.h>

#include <string>

#include "base/ServerLog.h"
#include "support/TestSupport.h"

using namespace testing_support;

TEST(ServerDir, IsEverythingBeforeTheLastSeparator) {
    // Written with '/', turned into the host's separator.
    const struct {
        const char* exe;
        const char* dir;
    } cases[] = {{"/opt/tools/pellomar", "/opt/tools"},
                 {"/pellomar", ""},
                 {"/a b/c d/pellomar", "/a b/c d"},
                 {"pellomar", ""}};
    auto host = [](std::string p) {
        for (char& ch : p)
            if (ch == '/') ch = plat::PathSeparator();
        return p;
    };
    for (const auto& c : cases) {
        SetServerDirFromExePath(host(c.exe).c_str());
        EXPECT_EQ(std::string(ServerDir), host(c.dir)) << c.exe;
    }
    SetServerDir("");
}

TEST(SrvLog, AppendsToTheLogBesideTheExecutableAndNeverEmptiesIt) {
    ServerDirScope dir;
    ASSERT_TRUE(WriteFile(dir.File("ServerLog.txt"), "earlier run\n"));
    SrvLog("GS.1.1.5 Start.\n");
    SrvLog("value 0x%x, no %02d, text %s", 0x2a, 3, "SN(1)");
    SrvLog("\n");
    EXPECT_EQ(dir.Log(), "earlier run\nGS.1.1.5 Start.\nvalue 0x2a, no 03, text SN(1)\n");
}

TEST(ServerDir, AnExecutableInTheRootFolderKeepsItsFilesThere) {
    std::string exe = std::string(1, plat::PathSeparator()) + "pellomar";
    SetServerDirFromExePath(exe.c_str());
    EXPECT_STREQ(ServerDir, "");
    char path[plat::SRV_PATH_MAX];
    ASSERT_TRUE(ServerDirPath(path, sizeof path, "ServerLog.txt"));
    EXPECT_EQ(std::string(path), std::string(1, plat::PathSeparator()) + "ServerLog.txt");
    // Commands (the mail script's change of folder, the responder's launch) name the root.
    char folder[plat::SRV_PATH_MAX];
    ServerFolderText(folder);
    EXPECT_EQ(std::string(folder), std::string(1, plat::PathSeparator()));
    SetServerDirFromExePath(
        (std::string(1, plat::PathSeparator()) + "opt" + plat::PathSeparator() + "p").c_str());
    ServerFolderText(folder);
    EXPECT_EQ(std::string(folder), std::string(1, plat::PathSeparator()) + "opt");
    // Not set at all: no path.
    SetServerDir("");
    EXPECT_FALSE(ServerDirPath(path, sizeof path, "ServerLog.txt"));
    ServerFolderText(folder);
    EXPECT_STREQ(folder, "");
}

TEST(SrvLog, CutsOverlongTextTo2047Characters) {
    ServerDirScope dir;
    std::string big(5000, 'x');
    SrvLog("%s", big.c_str());
    EXPECT_EQ(dir.Log(), std::string(2047, 'x'));
}

TEST(SrvLog, DropsTextSilentlyWhenTheLogCannotBeWritten) {
    // No ServerDir yet (the second instance never sets it): nothing is written anywhere.
    SetServerDir("");
    SrvLog("lost\n");
    // A ServerDir whose log cannot be opened.
    SetServerDir("/nonexistent-folder-for-pellomar-tests");
    SrvLog("lost too\n");
    // A ServerDir so long that the log path does not fit: refused, not overrun.
    std::string longDir(plat::SRV_PATH_MAX - 5, 'd');
    SetServerDir(longDir.c_str());
    char path[plat::SRV_PATH_MAX];
    EXPECT_FALSE(ServerDirPath(path, sizeof path, "ServerLog.txt"));
    EXPECT_STREQ(path, "");
    SrvLog("and this\n");
    SetServerDir("");
}

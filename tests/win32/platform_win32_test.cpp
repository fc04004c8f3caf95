// The Win32 platform layer, under Windows or Wine.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "base/ServerLog.h"
#include "platform/DevChannel.h"
#include "platform/HostPaths.h"
#include "platform/InstanceLock.h"
#include "platform/Process.h"
#include "platform/StartupReg.h"
#include "platform/win32/ShellOpen.h"
#include "support/TestSupport.h"

using namespace testing_support;
namespace fs = std::filesystem;

TEST(Win32Platform, ExecutablePathAndServerDirUseBackslashes) {
    char exe[plat::SRV_PATH_MAX];
    ASSERT_TRUE(plat::GetExecutablePath(exe, sizeof exe));
    EXPECT_NE(std::strstr(exe, "test_win32.exe"), nullptr) << exe;
    EXPECT_EQ(plat::PathSeparator(), '\\');
    SetServerDirFromExePath("C:\\Tools\\PELLOMAR.exe");
    EXPECT_STREQ(ServerDir, "C:\\Tools");
    char log[plat::SRV_PATH_MAX];
    ASSERT_TRUE(ServerDirPath(log, sizeof log, "ServerLog.txt"));
    EXPECT_STREQ(log, "C:\\Tools\\ServerLog.txt");
    // At a drive's root, commands name the root ("C:" alone is the drive's current folder).
    char folder[plat::SRV_PATH_MAX];
    SetServerDirFromExePath("C:\\PELLOMAR.exe");
    ASSERT_TRUE(ServerDirPath(log, sizeof log, "ServerLog.txt"));
    EXPECT_STREQ(log, "C:\\ServerLog.txt");
    ServerFolderText(folder);
    EXPECT_STREQ(folder, "C:\\");
    SetServerDir("");
    char small[4];
    EXPECT_FALSE(plat::GetExecutablePath(small, sizeof small));
    EXPECT_STREQ(small, "");
}

TEST(Win32Platform, TheNamedMutexRefusesASecondHolder) {
    const char* name = "Global\\PellomarTestMutex-InstanceLock";
    EXPECT_EQ(plat::AcquireInstanceLock(name), plat::InstanceLockResult::Acquired);
    EXPECT_EQ(plat::AcquireInstanceLock(name), plat::InstanceLockResult::AlreadyRunning);
}

TEST(Win32Platform, RunKeyValueIsWrittenQueriedAndDeleted) {
    const char* name = "Pellomar Test Value";
    ASSERT_TRUE(plat::StartupKeyOpen());
    plat::StartupValueDelete(name);
    EXPECT_FALSE(plat::StartupValueExists(name));
    ASSERT_TRUE(plat::StartupValueWrite(name, "C:\\Program Files\\Pellomar\\PELLOMAR.exe"));
    EXPECT_TRUE(plat::StartupValueExists(name));
    EXPECT_TRUE(plat::StartupValueDelete(name));
    EXPECT_FALSE(plat::StartupValueExists(name));
    EXPECT_TRUE(plat::StartupValueDelete(name));  // not there: as good as deleted
}

TEST(Win32Platform, TheCommandInterpreterStartsHidden) {
    TempDir dir;
    std::string marker = dir.File("ran.txt");
    std::string params = "/c echo ran> \"" + marker + "\"";
    int r = plat::ShellOpenHidden("cmd.exe", params.c_str());
    EXPECT_GT(r, 32);
    EXPECT_TRUE(WaitFor([&] { return FileExists(marker); }));
    EXPECT_LE(plat::ShellOpenHidden("no-such-program-here.exe", ""), 32);
}

TEST(Win32Platform, ADetachedLaunchPassesEveryArgumentIntact) {
    TempDir dir;
    const std::string prog = dir.File("argdump.exe");
    ASSERT_TRUE(fs::copy_file(BinPath("test_argdump.exe"), prog));
    const char* const argv[] = {prog.c_str(), "KELDRAN", "C:\\dir\\", "say \"hi\"",
                                "a\\\"b",     "",        "two words", nullptr};
    EXPECT_EQ(plat::LaunchDetached(argv), plat::LAUNCH_OK);
    const std::string args = dir.File("args.txt");
    ASSERT_TRUE(WaitFor([&] { return FileExists(args) && !ReadFile(args).empty(); }));
    EXPECT_EQ(ReadFile(args), "KELDRAN\nC:\\dir\\\nsay \"hi\"\na\\\"b\n\ntwo words\n");

    const std::string missing = dir.File("missing.exe");
    const char* const none[] = {missing.c_str(), nullptr};
    EXPECT_EQ(plat::LaunchDetached(none), plat::LAUNCH_FILE_NOT_FOUND);
}

TEST(Win32Platform, AMissingScsiPortFailsToOpenWithItsSystemError) {
    plat::DevHandle dev;
    int err = 0;
    EXPECT_FALSE(plat::DevOpen("\\\\.\\Scsi0: ", nullptr, dev, &err));
    EXPECT_FALSE(dev.Valid());
    EXPECT_NE(err, 0);
}

TEST(Win32Platform, ReplaceFileReplacesAnExistingFile) {
    TempDir dir;
    ASSERT_TRUE(WriteFile(dir.File("a"), "new"));
    ASSERT_TRUE(WriteFile(dir.File("b"), "old"));
    EXPECT_TRUE(plat::ReplaceFile(dir.File("a").c_str(), dir.File("b").c_str()));
    EXPECT_EQ(ReadFile(dir.File("b")), "new");
    EXPECT_FALSE(FileExists(dir.File("a")));
}

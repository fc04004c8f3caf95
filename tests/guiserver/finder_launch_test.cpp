// The launch of the discovery responder at start-up.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "base/ServerLog.h"
#include "guiserver/FinderLaunch.h"
#include "guiserver/FinderLaunchOs.h"
#include "platform/Process.h"
#include "support/FakeProgram.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

const char kFinderLinePrefix[] = "Finder (";

// Runs InitFinderServer and returns the log once the finder thread has written its line.
std::string RunFinder(const ServerDirScope& dir, std::chrono::milliseconds* took) {
    auto t0 = std::chrono::steady_clock::now();
    InitFinderServer();
    bool logged = WaitFor([&] { return dir.Log().find(kFinderLinePrefix) != std::string::npos; },
                          std::chrono::seconds(30));
    *took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  t0);
    EXPECT_TRUE(logged) << dir.Log();
    return dir.Log();
}

std::string ExpectedLog(int result) {
    return "InitFinderServer.\nThreadFinderSrv CloseHandle.\nFinder (" + std::to_string(result) +
           ") :cmd.exe  /C java \n";
}

}  // namespace

TEST(FinderLaunch, StartsEchoBackBesideTheAgentWithTheKeyAfterOneSecond) {
    ServerDirScope dir;
    std::string prog = dir.File("EchoBack");
    ASSERT_TRUE(WriteFakeProgram(prog));
    std::chrono::milliseconds took{};
    std::string log = RunFinder(dir, &took);
    EXPECT_GE(took.count(), 1000) << "the launch comes after a one-second pause";
    EXPECT_EQ(log, ExpectedLog(plat::LAUNCH_OK));

    ASSERT_TRUE(WaitForFakeReport(prog));
    auto rep = ReadFakeReport(prog);
    EXPECT_EQ(rep["argc"], "1");
    EXPECT_EQ(rep["arg1"], "KELDRAN");
    EXPECT_EQ(rep["sid"], rep["pid"]);
    EXPECT_EQ(rep["fd0"], "/dev/null");
    EXPECT_EQ(rep["fd1"], "/dev/null");
    EXPECT_EQ(rep["fd2"], "/dev/null");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(rep["cwd"], cwd) << "the responder runs in the agent's current directory";
}

TEST(FinderLaunch, LogsTheFailureWhenTheResponderCannotStart) {
    struct Case {
        const char* what;
        const char* content;  // nullptr: no file
        int result;
    } cases[] = {
        {"missing", nullptr, plat::LAUNCH_FILE_NOT_FOUND},
        {"not executable", "#!/bin/sh\nexit 0\n", plat::LAUNCH_ACCESS_DENIED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ServerDirScope dir;
        if (c.content != nullptr) {
            ASSERT_TRUE(WriteFile(dir.File("EchoBack"), c.content));
            ASSERT_EQ(chmod(dir.File("EchoBack").c_str(), 0644), 0);
        }
        std::chrono::milliseconds took{};
        EXPECT_EQ(RunFinder(dir, &took), ExpectedLog(c.result));
    }
}

TEST(FinderLaunch, BuildsTheCommandInterpreterParameters) {
    char buf[300];
    ASSERT_TRUE(BuildFinderParams(buf, sizeof buf, "C:\\Tools"));
    EXPECT_STREQ(buf, " /C java -classpath \"C:\\Tools\"  EchoBack KELDRAN");
    // A folder with blanks stays one class-path item.
    ASSERT_TRUE(BuildFinderParams(buf, sizeof buf, "C:\\Program Files\\Pellomar"));
    EXPECT_STREQ(buf, " /C java -classpath \"C:\\Program Files\\Pellomar\"  EchoBack KELDRAN");
    // Too small a buffer: refused, never overrun.
    char small[20];
    EXPECT_FALSE(BuildFinderParams(small, sizeof small, "C:\\Tools"));
    EXPECT_STREQ(small, "");
}

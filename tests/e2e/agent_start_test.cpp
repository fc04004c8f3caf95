// The real agent, started from a folder of its own.
#include <signal.h>

#include "support/TestSupport.h"

using namespace testing_support;

TEST(AgentStart, ServesEchoLogsBesideItselfAndRefusesASecondCopy) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());

    std::string out, err;
    EXPECT_EQ(RunProgram({BinPath("pellomar-cli"), "echo", "hi"}, &out, &err), 0) << err;
    EXPECT_EQ(out, "hi\n");

    std::string log = agent.Log();
    EXPECT_EQ(log.rfind("GS.1.1.5 Start.\n", 0), 0u) << log;
    for (const char* line :
         {"PollingCtlrEvent CloseHandle.\n", "ThreadBuildGuiServer CloseHandle.\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line;

    // A second copy, even from another folder, shows the warning, exits 0 and writes nothing.
    TempDir other;
    std::string copy = other.File("pellomar");
    ASSERT_EQ(RunProgram({"/bin/cp", BinPath("pellomar"), copy}, nullptr, nullptr), 0);
    EXPECT_EQ(RunProgram({copy}, &out, &err, std::chrono::seconds(10), other.path()), 0);
    // After the one line that says why it runs headless (the display is connected first, so
    // that on a desktop the warning is a real box).
    EXPECT_EQ(err, "pellomar: no display, running headless\n"
                   "Warning: The Program Has Already Invoked in Other Session !!\n");
    EXPECT_FALSE(FileExists(other.File("ServerLog.txt")));
    EXPECT_EQ(agent.Log(), log);

    EXPECT_EQ(agent.Stop(), 0);
}

TEST(AgentStart, SigintEndsItWithZero) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    agent.process().Signal(SIGINT);
    EXPECT_EQ(agent.process().Wait(std::chrono::seconds(10)), 0);
}

// Where the agent's files go in the relocatable layout.
#include <gtest/gtest.h>

#include <string>

#include "base/AgentPaths.h"
#include "base/ServerLog.h"
#include "support/TestSupport.h"

using namespace testing_support;

// The relocatable layout: everything beside the executable, and [paths] moves each part.
TEST(AgentPaths, RelocatableKeepsEverythingBesideTheExecutableUnlessPathsSaySo) {
    ASSERT_FALSE(PackagedLayout());
    TempDir exe, state, log;
    const std::string exePath = exe.File("pellomar");
    char conf[plat::SRV_PATH_MAX];
    ResolveSettingsPath(exePath.c_str(), nullptr, conf, sizeof conf);
    EXPECT_EQ(std::string(conf), exe.File("pellomar.conf"));
    ResolveSettingsPath(exePath.c_str(), "/etc/x.conf", conf, sizeof conf);
    EXPECT_EQ(std::string(conf), "/etc/x.conf");

    ApplyAgentPaths(exePath.c_str(), PathSettings{});
    SrvLog("one\n");
    EXPECT_EQ(ReadFile(exe.File("ServerLog.txt")), "one\n");
    char folder[plat::SRV_PATH_MAX];
    ProgramFolderText(folder);
    EXPECT_EQ(std::string(folder), exe.path());

    PathSettings p;
    p.stateDir = state.path();
    p.logDir = log.path();
    ApplyAgentPaths(exePath.c_str(), p);
    SrvLog("two\n");
    EXPECT_EQ(ReadFile(log.File("ServerLog.txt")), "two\n");
    EXPECT_EQ(std::string(ServerDir), state.path());
    ProgramFolderText(folder);
    EXPECT_EQ(std::string(folder), exe.path());  // unset: beside the executable
    SetServerDir("");
    SetLogDir("");
    SetProgramDir("");
}

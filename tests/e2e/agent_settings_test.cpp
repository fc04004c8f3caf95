// The real agent with its settings file, its command line and its single-instance lock.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "app/ServerMain.h"
#include "protocol/GuiFrame.h"
#include "support/TestSupport.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// True when /proc/net/tcp shows a socket listening on `hexAddr`:8922 (0A is LISTEN).
bool ListensOn(const std::string& hexAddr) {
    const std::string want = hexAddr + ":22DA";
    for (const std::string& line : SplitLines(ReadFile("/proc/net/tcp")))
        if (line.find(want) != std::string::npos && line.find(" 0A ") != std::string::npos)
            return true;
    return false;
}

// The agent copied alone into a folder, with `conf` beside it when not empty, run with `arg`.
int RunCopy(const TempDir& dir, const std::string& conf, const std::string& arg, std::string* out,
            std::string* err) {
    fs::copy_file(BinPath("pellomar"), dir.File("pellomar"), fs::copy_options::overwrite_existing);
    if (!conf.empty()) WriteFile(dir.File("pellomar.conf"), conf);
    return RunProgram({dir.File("pellomar"), arg}, out, err, std::chrono::seconds(20));
}

TEST(AgentCommandLine, OptionsPrintAndExitWithoutStartingAnything) {
    const struct {
        const char* conf;
        const char* arg;
        int code;
        const char* out;  // part of standard output
        const char* err;  // part of standard error
    } cases[] = {
        {"", "--check-config", 0, "not found; every setting has its default", ""},
        {"[gui]\nlisten = \"127.0.0.1\"\nidle_timeout_s = 5\n", "--check-config", 0,
         "gui.listen = \"127.0.0.1\"\ngui.allow = any\ngui.max_per_source = 0  # no limit\n"
         "gui.idle_timeout_s = 5\n",
         ""},
        {"[gui]\nallow = [\"10.0.0.0/8\"]\nalow = 1\n", "--check-config", 1,
         "gui.allow = [\"127.0.0.0/8\"]", "pellomar.conf:3:1: unknown key gui.alow"},
        {"", "--help", 0, "Usage: pellomar", ""},
        {"", "--version", 0, "pellomar 3.7.1", ""},
        {"", "--frobnicate", 2, "", "unknown argument --frobnicate"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        std::string out, err;
        EXPECT_EQ(RunCopy(dir, c.conf, c.arg, &out, &err), c.code) << c.arg << "\n" << out << err;
        EXPECT_NE(out.find(c.out), std::string::npos) << c.arg << ": " << out;
        EXPECT_NE(err.find(c.err), std::string::npos) << c.arg << ": " << err;
        // Nothing was started: no log, no responder launched.
        EXPECT_FALSE(FileExists(dir.File("ServerLog.txt"))) << c.arg;
    }
}

// A file with a fault is reported in the log and on standard error, and the port is then bound
// to 127.0.0.1 alone.
TEST(AgentSettings, AFaultyFileLimitsThePortToLoopback) {
    AgentProcess agent;
    WriteFile(agent.dir() + "/pellomar.conf",
              "[gui]\nlisten = \"0.0.0.0\"\nalow = [\"10.0.0.1\"]\n");
    ASSERT_TRUE(agent.Start());
    EXPECT_TRUE(ListensOn("0100007F"));
    EXPECT_FALSE(ListensOn("00000000"));
    const std::string fault = agent.dir() + "/pellomar.conf:3:1: unknown key gui.alow";
    const std::string log = agent.Log();
    EXPECT_NE(log.find("GS.1.1.5 Start.\nSettings : " + fault +
                       "\n"
                       "Settings : the GUI port serves loopback clients only until the file is "
                       "mended.\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(agent.Stop(), 0);
    EXPECT_NE(agent.process().Stderr().find("pellomar: " + fault + "\n"), std::string::npos);
}

// With its port held by another program the agent says so once and keeps trying, quietly, and
// says when it listens at last.
TEST(AgentSettings, ABusyPortIsLoggedOnceAndTheAgentListensWhenItFrees) {
    AgentLock lock;
    TempDir dir;
    fs::copy_file(BinPath("pellomar"), dir.File("pellomar"));
    auto holder =
        std::make_unique<plat::Socket>(plat::SockTcpListen(0, GUI_SERVER_PORT, 1, nullptr, 0));
    ASSERT_TRUE(holder->Valid());
    ChildProcess agent;
    ASSERT_TRUE(agent.Start({dir.File("pellomar")}, dir.path(), {"DISPLAY=", "WAYLAND_DISPLAY="}));
    const std::string busy = "ThreadBuildGuiServer : cannot listen on 0.0.0.0 port 8922 (";
    const auto log = [&] { return ReadFile(dir.File("ServerLog.txt")); };
    ASSERT_TRUE(WaitFor([&] { return log().find(busy) != std::string::npos; })) << log();
    std::this_thread::sleep_for(std::chrono::seconds(2));  // some twenty more attempts
    EXPECT_EQ(log().find(busy), log().rfind(busy)) << "logged more than once";
    holder.reset();
    EXPECT_TRUE(WaitFor([&] {
        return log().find("ThreadBuildGuiServer : listening on port 8922.\n") != std::string::npos;
    }));
    agent.Signal(SIGTERM);
    EXPECT_EQ(agent.Wait(std::chrono::seconds(10)), 0);
}

// Run by root, the agent's lock is a file nobody else may open: a process of any user that
// holds the socket name other users' copies look for does not keep it from starting.
TEST(AgentLock, ANameSquatterDoesNotStopARootAgent) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const size_t n = std::strlen(SERVER_INSTANCE_MUTEX);
    std::memcpy(a.sun_path + 1, SERVER_INSTANCE_MUTEX, n);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n)),
              0);
    AgentProcess agent;
    EXPECT_TRUE(agent.Start());
    EXPECT_EQ(agent.Stop(), 0);
    close(fd);
    EXPECT_EQ(fs::status("/run/pellomar.lock").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

}  // namespace

// The real agent launches its discovery responder at start-up.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "platform/Socket.h"
#include "support/TestSupport.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// Fields of /proc/<pid>/stat after the command name: [0] state, [1] ppid, [3] session.
std::vector<std::string> ProcStat(int pid) {
    std::string s = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    std::vector<std::string> f;
    auto close = s.rfind(')');
    if (close == std::string::npos) return f;
    std::istringstream in(s.substr(close + 1));
    std::string w;
    while (in >> w)
        f.push_back(w);
    return f;
}

bool Alive(int pid) {
    auto f = ProcStat(pid);
    return !f.empty() && f[0] != "Z";
}

// The process running the program at `exe`, or 0.
int FindProcessOf(const std::string& exe) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc", ec)) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        fs::path target = fs::read_symlink(e.path() / "exe", ec);
        if (!ec && target == exe) return std::stoi(name);
    }
    return 0;
}

// Ends, by its pid, the responder that this test's agent launched, whatever the test's outcome.
struct ResponderGuard {
    int pid = 0;
    ~ResponderGuard() {
        if (pid > 0 && Alive(pid)) {
            kill(pid, SIGTERM);
            WaitFor([&] { return !Alive(pid); });
        }
    }
};

bool UdpPortTaken(uint16_t port) {
    bool inUse = false;
    plat::Socket s(plat::SockUdpBind(0x7F000001, port, &inUse, nullptr, 0));
    return !s.Valid() && inUse;
}

size_t Pos(const std::string& log, const char* line) {
    size_t p = log.find(line);
    EXPECT_NE(p, std::string::npos) << "missing: " << line << "\n" << log;
    return p;
}

}  // namespace

TEST(FinderStartUp, WithoutTheResponderTheAgentServesAndLogsTheFailedLaunch) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    std::string out, err;
    EXPECT_EQ(RunProgram({BinPath("pellomar-cli"), "echo", "still here"}, &out, &err), 0) << err;
    EXPECT_EQ(out, "still here\n");

    const char finder[] = "Finder (2) :cmd.exe  /C java \n";
    ASSERT_TRUE(WaitFor([&] { return agent.Log().find(finder) != std::string::npos; },
                        std::chrono::seconds(30)))
        << agent.Log();
    std::string log = agent.Log();
    EXPECT_EQ(Pos(log, "GS.1.1.5 Start.\n"), 0u);
    size_t init = Pos(log, "InitFinderServer.\n");
    size_t closed = Pos(log, "ThreadFinderSrv CloseHandle.\n");
    size_t polling = Pos(log, "PollingCtlrEvent CloseHandle.\n");
    size_t listener = Pos(log, "ThreadBuildGuiServer CloseHandle.\n");
    EXPECT_LT(init, closed);
    EXPECT_LT(closed, polling);
    EXPECT_LT(polling, listener);
    EXPECT_LT(init, Pos(log, finder));
    EXPECT_EQ(agent.Stop(), 0);
}

TEST(FinderStartUp, TheAgentLaunchesEchoBackWhichAnswersAndOutlivesIt) {
    AgentProcess agent;  // holds the agent lock: no other test's responder starts meanwhile
    if (UdpPortTaken(8922)) GTEST_SKIP() << "UDP port 8922 is taken by a responder not ours";
    ASSERT_TRUE(agent.Start({"EchoBack"}));
    ResponderGuard responder;
    ASSERT_TRUE(WaitFor(
        [&] { return agent.Log().find("Finder (42) :cmd.exe  /C java \n") != std::string::npos; },
        std::chrono::seconds(30)))
        << agent.Log();
    ASSERT_TRUE(WaitFor([&] { return (responder.pid = FindProcessOf(agent.dir() + "/EchoBack")); },
                        std::chrono::seconds(30)));
    ASSERT_TRUE(WaitFor([] { return UdpPortTaken(8922); }, std::chrono::seconds(30)));

    std::string out, err;
    ASSERT_EQ(
        RunProgram({BinPath("pellomar-cli"), "discover", "--target", "127.0.0.1", "--timeout", "3"},
                   &out, &err, std::chrono::seconds(30)),
        0)
        << err;
    EXPECT_NE(out.find("127.0.0.1            8922  " PELLOMAR_VERSION), std::string::npos) << out;

    // Detached from the agent: its own session, not the agent's child.
    auto stat = ProcStat(responder.pid);
    ASSERT_GE(stat.size(), 4u);
    EXPECT_EQ(stat[3], std::to_string(responder.pid));
    EXPECT_NE(stat[1], std::to_string(agent.process().pid()));

    // The agent never stops it.
    EXPECT_EQ(agent.Stop(), 0);
    EXPECT_TRUE(Alive(responder.pid));
}

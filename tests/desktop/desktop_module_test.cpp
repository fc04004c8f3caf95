// The desktop lives in a module of its own: the agent links none of the desktop libraries, and an
// agent without its module, or without a display, runs headless and says which in one line on
// standard error.
#include <unistd.h>

#include <csignal>

#include "support/TestSupport.h"

using namespace testing_support;
using std::chrono::seconds;

namespace {

constexpr const char* HEADLESS_TAIL = ", running headless";

std::string Ldd(const std::string& path) {
    std::string out, err;
    EXPECT_EQ(RunProgram({"/usr/bin/ldd", path}, &out, &err, seconds(30)), 0) << err;
    return out;
}

TEST(DesktopModule, TheAgentLinksNoDesktopLibraryItsModuleDoes) {
    std::string agent = Ldd(BinPath("pellomar"));
    ASSERT_NE(agent.find("libc.so"), std::string::npos) << agent;
    for (const std::string& line : SplitLines(agent))
        for (const char* desktopLib : {"libQt", "libxcb", "libX", "libEGL", "libGL", "libOpenGL"})
            EXPECT_EQ(line.find(desktopLib), std::string::npos) << line;

    std::string module = Ldd(BinPath(DESKTOP_MODULE));
    EXPECT_NE(module.find("libQt6Widgets.so"), std::string::npos) << module;
    EXPECT_NE(module.find("libxcb.so"), std::string::npos) << module;
    EXPECT_EQ(module.find("not found"), std::string::npos) << module;
}

// The agent's lines on standard error that say how its desktop went.
std::vector<std::string> DesktopLines(const std::string& err) {
    std::vector<std::string> out;
    for (const std::string& line : SplitLines(err))
        if (line.rfind("pellomar: ", 0) == 0) out.push_back(line);
    return out;
}

// A virtual X display for the agent to find.
class LiveDisplay {
  public:
    bool Start() {
        std::string fdFile = dir_.File("displayfd");
        if (!xvfb_.Start({"/bin/sh", "-c",
                          "exec /usr/bin/Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp "
                          "3>\"$0\"",
                          fdFile}))
            return false;
        if (!WaitFor([&] { return ReadFile(fdFile).find('\n') != std::string::npos; }, seconds(30)))
            return false;
        std::string n = ReadFile(fdFile);
        name_ = ":" + n.substr(0, n.find('\n'));
        return true;
    }
    ~LiveDisplay() {
        xvfb_.Signal(SIGTERM);
        xvfb_.Wait(seconds(5));
    }
    const std::string& name() const { return name_; }
    std::string Stderr() const { return xvfb_.Stderr(); }

  private:
    TempDir dir_;
    ChildProcess xvfb_;
    std::string name_;
};

enum class Module { Absent, Built, Broken };
enum class Display { Unset, Live, Silent };

struct HeadlessCase {
    const char* what;
    Module module;
    Display display;
    const char* line;  // the start of the one line (HEADLESS_TAIL ends it), or all of it
    const char* also;  // further text the line holds, or ""
};

// Every way to end up headless: the agent serves, says which in exactly one line, and ends with 0
// on SIGTERM as the tray's Exit would.
TEST(DesktopModule, HeadlessSaysWhyInOneLine) {
    if (access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "Xvfb (package xvfb) is not installed";
    LiveDisplay live;
    ASSERT_TRUE(live.Start()) << "Xvfb did not start: " << live.Stderr();

    const HeadlessCase cases[] = {
        {"no display set", Module::Built, Display::Unset, "pellomar: no display, running headless",
         ""},
        // The agent copied alone into a folder, on a desktop.
        {"no module", Module::Absent, Display::Live,
         "pellomar: desktop module libpellomar-desktop.so not found (",
         "cannot open shared object file"},
        {"a broken module", Module::Broken, Display::Live, "pellomar: desktop module /",
         "/libpellomar-desktop.so cannot be loaded ("},
        // No server behind the display's name.
        {"a display that does not answer", Module::Built, Display::Silent,
         "pellomar: no display answers, running headless", ""},
    };
    for (const HeadlessCase& c : cases) {
        SCOPED_TRACE(c.what);
        AgentProcess agent;
        std::vector<std::string> companions;
        if (c.module == Module::Built) companions.push_back(DESKTOP_MODULE);
        if (c.module == Module::Broken) {
            ASSERT_TRUE(WriteFile(agent.dir() + "/" + DESKTOP_MODULE, "not a shared object\n"));
        }
        std::vector<std::string> env;
        if (c.display == Display::Live) env.push_back("DISPLAY=" + live.name());
        if (c.display == Display::Silent) env.push_back("DISPLAY=" + live.name() + "99");
        ASSERT_TRUE(agent.Start(companions, "", env)) << agent.process().Stderr();

        std::vector<std::string> lines = DesktopLines(agent.process().Stderr());
        ASSERT_EQ(lines.size(), 1u) << agent.process().Stderr();
        const std::string& line = lines[0];
        EXPECT_EQ(line.rfind(c.line, 0), 0u) << line;
        EXPECT_NE(line.find(c.also), std::string::npos) << line;
        EXPECT_TRUE(line.ends_with(HEADLESS_TAIL)) << line;
        // Message boxes are lines on standard error: the card finder's among them.
        EXPECT_TRUE(WaitFor([&] {
            return agent.process().Stderr().find("Card Finder: ") != std::string::npos;
        })) << agent.process().Stderr();
        EXPECT_EQ(agent.Stop(seconds(30)), 0) << agent.process().Stderr();
    }
}

}  // namespace

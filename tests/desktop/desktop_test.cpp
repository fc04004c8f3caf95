// The real agent on a virtual X display: tray icon, popup menu and its marks, the run-at-start-up
// entry, message boxes, the about box, the stand-in window without a notification area, and
// Exit. Texts are read back by OCR from screenshots, which stay in the build folder
// (test-artifacts/desktop/<test>/) for a look afterwards.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "platform/Desktop.h"
#include "shell/TrayWindow.h"
#include "support/TestSupport.h"

using namespace testing_support;
namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

constexpr const char* TOOLTIP = "Tavenu RAID Manager Server v3.7.1";
constexpr const char* CARD_FINDER = "Tavenu RAID Manager Server Card Finder";
// Set in a copy of this test program that runs the desktop in-process on the test's display.
constexpr const char* CHILD_ENV = "PELLOMAR_DESKTOP_CHILD";

// How long to wait for something on the desktop: generous, the machine may be busy.
constexpr milliseconds UI_WAIT = seconds(45);

bool Wait(const std::function<bool()>& pred, milliseconds timeout = UI_WAIT) {
    return WaitFor(pred, timeout);
}

bool Executable(const std::string& path) {
    return access(path.c_str(), X_OK) == 0;
}

// Runs a helper program (DISPLAY comes from this process's environment); its standard output.
std::string Tool(const std::vector<std::string>& argv, int* code = nullptr) {
    std::string out, err;
    int rc = RunProgram(argv, &out, &err, seconds(30));
    if (code != nullptr) *code = rc;
    return out;
}

struct Win {
    std::string id;
    std::string name;
    int x = 0, y = 0, w = 0, h = 0;
};

std::vector<std::string> Lines(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);)
        if (!l.empty()) out.push_back(l);
    return out;
}

bool Describe(const std::string& id, Win* w) {
    w->id = id;
    std::string geo = Tool({"/usr/bin/xdotool", "getwindowgeometry", "--shell", id});
    bool any = false;
    for (const std::string& l : Lines(geo)) {
        auto eq = l.find('=');
        if (eq == std::string::npos) continue;
        std::string k = l.substr(0, eq);
        int v = std::atoi(l.c_str() + eq + 1);
        if (k == "X") w->x = v;
        if (k == "Y") w->y = v;
        if (k == "WIDTH") w->w = v, any = true;
        if (k == "HEIGHT") w->h = v;
    }
    std::vector<std::string> name = Lines(Tool({"/usr/bin/xdotool", "getwindowname", id}));
    w->name = name.empty() ? "" : name[0];
    return any;
}

// Mapped windows that match an xdotool search (e.g. {"--class", "PELLOMAR"}).
std::vector<Win> Visible(const std::vector<std::string>& criteria) {
    std::vector<std::string> argv = {"/usr/bin/xdotool", "search", "--onlyvisible"};
    argv.insert(argv.end(), criteria.begin(), criteria.end());
    std::vector<Win> out;
    for (const std::string& id : Lines(Tool(argv))) {
        Win w;
        if (Describe(id, &w)) out.push_back(w);
    }
    return out;
}

std::vector<Win> VisibleNamed(const std::string& name) {
    return Visible({"--name", "^" + name + "$"});
}

// The agent's windows without a title of their own carry its class name.
std::vector<Win> Untitled(bool small) {
    std::vector<Win> out;
    for (const Win& w : Visible({"--class", "^PELLOMAR$"}))
        if (w.name == "PELLOMAR" && (w.h <= 64) == small && w.w > 1) out.push_back(w);
    return out;
}

bool WaitOne(const std::function<std::vector<Win>()>& find, Win* found,
             milliseconds timeout = UI_WAIT) {
    return Wait(
        [&] {
            std::vector<Win> ws = find();
            if (ws.empty()) return false;
            *found = ws[0];
            return true;
        },
        timeout);
}

void Xdo(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    int rc = 0;
    Tool(argv, &rc);
    EXPECT_EQ(rc, 0) << args[0];
}

void PointAt(const Win& w, int dy = 0) {
    Xdo({"mousemove", std::to_string(w.x + w.w / 2), std::to_string(w.y + w.h / 2 + dy)});
}

// Nothing shows up for a while: used only to check that something does not happen.
void Settle() {
    std::this_thread::sleep_for(milliseconds(800));
}

struct OcrWord {
    std::string text;
    int left, top, width, height;
};

class Desktop : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::getenv(CHILD_ENV) != nullptr) return;  // the in-process half of a test
        if (!Executable("/usr/bin/Xvfb")) GTEST_SKIP() << "Xvfb (package xvfb) is not installed";
        for (const char* tool :
             {"/usr/bin/jwm", "/usr/bin/xdotool", "/usr/bin/import", "/usr/bin/tesseract",
              "/usr/bin/convert", "/usr/bin/fc-list", "/usr/bin/xprop"})
            ASSERT_TRUE(Executable(tool)) << tool << " missing: run scripts/deps.sh test";
        // Without a font Qt draws empty boxes and nothing can be read back.
        ASSERT_FALSE(Tool({"/usr/bin/fc-list"}).empty())
            << "no font installed (fonts-dejavu-core): scripts/deps.sh test";

        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        artifacts_ = BuildPath("test-artifacts/desktop/") + info->name();
        std::error_code ec;
        fs::remove_all(artifacts_, ec);
        fs::create_directories(artifacts_, ec);

        // Xvfb picks a free display number and writes it to fd 3.
        std::string dfd = work_.File("displayfd");
        ASSERT_TRUE(xvfb_.Start({"/bin/sh", "-c",
                                 "exec /usr/bin/Xvfb -displayfd 3 -screen 0 1024x768x24 "
                                 "-nolisten tcp 3>\"$0\"",
                                 dfd}));
        ASSERT_TRUE(Wait([&] {
            std::string s = ReadFile(dfd);
            return !s.empty() && s.back() == '\n';
        })) << "Xvfb did not start: "
            << xvfb_.Stderr();
        std::string n = ReadFile(dfd);
        display_ = ":" + n.substr(0, n.size() - 1);
        setenv("DISPLAY", display_.c_str(), 1);
        unsetenv("WAYLAND_DISPLAY");
        xdg_ = work_.File("xdg");
        runtime_ = work_.File("runtime");
        fs::create_directories(runtime_);
        chmod(runtime_.c_str(), 0700);
    }

    void TearDown() override {
        jwm_.Signal(SIGTERM);
        jwm_.Wait(seconds(5));
        xvfb_.Signal(SIGTERM);
        xvfb_.Wait(seconds(5));
    }

    // A small window manager, with or without a notification area at the bottom.
    void StartWindowManager(bool withTray) {
        std::string rc = work_.File(withTray ? "jwmrc-tray" : "jwmrc-plain");
        std::string conf = "<?xml version=\"1.0\"?>\n<JWM>\n";
        if (withTray)
            conf += "  <Tray x=\"0\" y=\"-1\" height=\"32\" autohide=\"off\"><Dock/></Tray>\n";
        conf += "  <Desktops width=\"1\" height=\"1\"/>\n</JWM>\n";
        ASSERT_TRUE(WriteFile(rc, conf));
        ASSERT_TRUE(jwm_.Start({"/usr/bin/jwm", "-f", rc}));
        // Ready once it has announced itself on the root window: windows mapped before that
        // may be adopted half-way.
        ASSERT_TRUE(Wait([] {
            return Tool({"/usr/bin/xprop", "-root", "_NET_SUPPORTING_WM_CHECK"})
                       .find("window id") != std::string::npos;
        })) << "jwm did not start: "
            << jwm_.Stderr();
    }

    void StopWindowManager() {
        jwm_.Signal(SIGTERM);
        EXPECT_GE(jwm_.Wait(UI_WAIT), 0);
        Tool({"/usr/bin/xprop", "-root", "-remove", "_NET_SUPPORTING_WM_CHECK"});
    }

    std::vector<std::string> AgentEnv() const {
        std::vector<std::string> env = {"DISPLAY=" + display_, "XDG_CONFIG_DIRS=" + xdg_,
                                        "XDG_RUNTIME_DIR=" + runtime_};
        // Under AddressSanitizer: the X keyboard library hands strndup() a buffer of exactly the
        // given length without a terminator, which is legal but trips strict string checks.
        if (const char* asan = std::getenv("ASAN_OPTIONS"))
            env.push_back(std::string("ASAN_OPTIONS=") + asan + ":strict_string_checks=0");
        return env;
    }

    std::string EntryPath() const { return xdg_ + "/autostart/Tavenu RAID Manager Server.desktop"; }

    // A screenshot of one window, scaled up 3x for OCR; returns the scaled picture's path.
    std::string Shot(const Win& w, const std::string& step) {
        return ShotAs(w, artifacts_ + "/" + std::to_string(++shots_) + "-" + step);
    }
    static std::string ShotAs(const Win& w, const std::string& base) {
        int rc = 0;
        Tool({"/usr/bin/import", "-window", w.id, base + ".png"}, &rc);
        EXPECT_EQ(rc, 0) << "import " << base;
        Tool({"/usr/bin/convert", base + ".png", "-scale", "300%", base + "-x3.png"}, &rc);
        EXPECT_EQ(rc, 0) << "convert " << base;
        return base + "-x3.png";
    }

    // Reads a window by OCR until its text satisfies `ok` (a window just mapped may not be
    // painted yet); returns the last text read and, in *png, its picture.
    std::string Read(const Win& w, const std::string& step,
                     const std::function<bool(const std::string&)>& ok,
                     std::string* png = nullptr) {
        std::string base = artifacts_ + "/" + std::to_string(++shots_) + "-" + step;
        std::string text, pic;
        WaitFor(
            [&] {
                pic = ShotAs(w, base);
                text = Ocr(pic);
                return ok(text);
            },
            seconds(15));
        if (png != nullptr) *png = pic;
        return text;
    }
    std::string Read(const Win& w, const std::string& step, const std::string& expect,
                     std::string* png = nullptr) {
        return Read(
            w, step, [&](const std::string& t) { return t.find(expect) != std::string::npos; },
            png);
    }

    // The text of a picture, read twice: as it is, and in black and white, which brings out
    // short words on buttons.
    static std::string Ocr(const std::string& png) {
        std::string text = Tool({"/usr/bin/tesseract", png, "stdout", "--psm", "6"});
        std::string bw = png.substr(0, png.size() - 4) + "-bw.png";
        Tool({"/usr/bin/convert", png, "-colorspace", "Gray", "-threshold", "40%", bw});
        return text + "\n" + Tool({"/usr/bin/tesseract", bw, "stdout", "--psm", "6"});
    }

    static std::vector<OcrWord> OcrWords(const std::string& png) {
        std::vector<OcrWord> out;
        for (const std::string& l :
             Lines(Tool({"/usr/bin/tesseract", png, "stdout", "--psm", "6", "tsv"}))) {
            std::vector<std::string> f;
            std::istringstream in(l);
            for (std::string c; std::getline(in, c, '\t');)
                f.push_back(c);
            if (f.size() < 12 || f[0] != "5") continue;
            out.push_back({f[11], std::atoi(f[6].c_str()), std::atoi(f[7].c_str()),
                           std::atoi(f[8].c_str()), std::atoi(f[9].c_str())});
        }
        return out;
    }

    // Mean brightness (0 black .. 1 white) of a part of a picture.
    static double Brightness(const std::string& png, int x, int y, int w, int h) {
        std::string geo = std::to_string(w) + "x" + std::to_string(h) + "+" + std::to_string(x) +
                          "+" + std::to_string(y);
        std::string v = Tool({"/usr/bin/convert", png, "-crop", geo, "+repage", "-colorspace",
                              "Gray", "-format", "%[fx:mean]", "info:"});
        return v.empty() ? -1 : std::atof(v.c_str());
    }

    // Reads the open popup menu: its three entries in order, and which of the two start-up
    // entries carries the check mark (the column left of the text is darker there).
    void CheckMenu(const Win& menu, const std::string& step, bool runChecked) {
        std::string png;
        std::string text = Read(menu, step, "Exit", &png);
        size_t run = text.find("Run at Windows Startup");
        size_t remove = text.find("Remove from Windows Startup");
        size_t exit = text.find("Exit");
        ASSERT_NE(run, std::string::npos) << text;
        ASSERT_NE(remove, std::string::npos) << text;
        ASSERT_NE(exit, std::string::npos) << text;
        EXPECT_LT(run, remove) << text;
        EXPECT_LT(remove, exit) << text;

        const OcrWord* runWord = nullptr;
        const OcrWord* removeWord = nullptr;
        std::vector<OcrWord> words = OcrWords(png);
        for (const OcrWord& w : words) {
            if (w.text == "Run" && runWord == nullptr) runWord = &w;
            if (w.text == "Remove" && removeWord == nullptr) removeWord = &w;
        }
        ASSERT_TRUE(runWord != nullptr && removeWord != nullptr) << text;
        auto markColumn = [&](const OcrWord* w) {
            int top = std::max(0, w->top - 6);
            return Brightness(png, 0, top, std::max(1, w->left - 9), w->height + 12);
        };
        double runMark = markColumn(runWord), removeMark = markColumn(removeWord);
        const OcrWord* marked = runChecked ? runWord : removeWord;
        double checkedB = runChecked ? runMark : removeMark;
        double plainB = runChecked ? removeMark : runMark;
        EXPECT_LT(checkedB, plainB - 0.04)
            << step << ": run " << runMark << ", remove " << removeMark << " (" << marked->text
            << " should be checked)";
    }

    Win OpenMenuAt(const Win& target, int dy = 0) {
        PointAt(target, dy);
        Xdo({"click", "3"});
        Win menu;
        EXPECT_TRUE(WaitOne([] { return Untitled(false); }, &menu)) << "no popup menu";
        return menu;
    }

    // Waits for a box by its caption, reads it until `expect` shows, closes it with Return, and
    // returns its text.
    std::string ReadAndCloseBox(const std::string& caption, const std::string& step,
                                const std::function<bool(const std::string&)>& expect) {
        Win box;
        if (!WaitOne([&] { return VisibleNamed(caption); }, &box)) {
            ADD_FAILURE() << "no box \"" << caption << "\"";
            return "";
        }
        // On top first: the part of a window that another one hides reads back black.
        Xdo({"windowactivate", "--sync", box.id});
        std::string text = Read(box, step, expect);
        // On a loaded machine the key can reach the window that had the focus a moment before:
        // activate the box again and repeat until it closes.
        bool closed = false;
        for (int attempt = 0; attempt < 4 && !closed; ++attempt) {
            Xdo({"windowactivate", "--sync", box.id});
            Xdo({"key", "--clearmodifiers", "Return"});
            closed = Wait([&] { return VisibleNamed(caption).empty(); }, seconds(10));
        }
        EXPECT_TRUE(closed) << caption;
        return text;
    }
    std::string ReadAndCloseBox(const std::string& caption, const std::string& step,
                                const std::string& expect) {
        std::string text = ReadAndCloseBox(caption, step, [&](const std::string& t) {
            return t.find(expect) != std::string::npos;
        });
        EXPECT_NE(text.find(expect), std::string::npos) << text;
        return text;
    }

    // Closes any card-finder boxes that discovery opened, checking what they say.
    void CloseCardFinderBoxes() {
        Win box;
        while (WaitOne([] { return VisibleNamed(CARD_FINDER); }, &box, seconds(2))) {
            auto known = [](const std::string& t) {
                return t.find("Serial Number:") != std::string::npos ||
                       t.find("GUI Server can not find") != std::string::npos;
            };
            std::string text = ReadAndCloseBox(CARD_FINDER, "card-finder", known);
            EXPECT_TRUE(known(text)) << text;
        }
    }

    TempDir work_;
    ChildProcess xvfb_, jwm_;
    std::string display_, xdg_, runtime_, artifacts_;
    int shots_ = 0;
};

TEST_F(Desktop, TrayIconMenuStartupEntryBoxesAndExit) {
    ASSERT_NO_FATAL_FAILURE(StartWindowManager(true));
    AgentProcess agent;
    ASSERT_TRUE(agent.Start({DESKTOP_MODULE}, "", AgentEnv())) << agent.process().Stderr();

    Win icon;
    ASSERT_TRUE(WaitOne([] { return Untitled(true); }, &icon)) << "no tray icon";
    CloseCardFinderBoxes();

    // The tooltip shows while the pointer rests on the icon.
    PointAt(icon);
    Win tip;
    ASSERT_TRUE(WaitOne(
        [&] {
            std::vector<Win> out;
            for (const Win& w : Visible({"--class", "^PELLOMAR$"}))
                if (w.id != icon.id && w.w > 1 && w.h > 1 && w.h < 64) out.push_back(w);
            return out;
        },
        &tip))
        << "no tooltip";
    std::string text = Read(tip, "tooltip", TOOLTIP);
    EXPECT_NE(text.find(TOOLTIP), std::string::npos) << text;

    // Left clicks and double clicks do nothing; a right press alone does nothing either.
    Xdo({"click", "1"});
    Xdo({"click", "--repeat", "2", "--delay", "80", "1"});
    Settle();
    EXPECT_TRUE(Untitled(false).empty()) << "a left click opened something";
    Xdo({"mousedown", "3"});
    Settle();
    EXPECT_TRUE(Untitled(false).empty()) << "the menu opened on the press";
    Xdo({"mouseup", "3"});
    Win menu;
    ASSERT_TRUE(WaitOne([] { return Untitled(false); }, &menu)) << "no menu on the release";
    CheckMenu(menu, "menu-unregistered", false);

    // "Run at Windows Startup": the entry is written and the box says so.
    Xdo({"key", "Down", "Return"});
    ReadAndCloseBox("Information", "add-done", "RegEdit Add Done!");
    std::string entry = ReadFile(EntryPath());
    EXPECT_NE(entry.find("\nExec=\"" + agent.dir() + "/pellomar\"\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nType=Application\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nTerminal=false\n"), std::string::npos) << entry;

    // The mark moved; "Remove from Windows Startup" deletes the entry after its box.
    menu = OpenMenuAt(icon);
    CheckMenu(menu, "menu-registered", true);
    Xdo({"key", "Down", "Down", "Return"});
    ReadAndCloseBox("Information", "remove-done", "RegEdit Remove Done!");
    EXPECT_TRUE(Wait([&] { return !FileExists(EntryPath()); }));

    // A second copy shows the warning as a real box and leaves.
    TempDir other;
    fs::copy_file(BinPath("pellomar"), other.File("pellomar"));
    fs::copy_file(BinPath(DESKTOP_MODULE), other.File(DESKTOP_MODULE));
    ChildProcess second;
    ASSERT_TRUE(second.Start({other.File("pellomar")}, other.path(), AgentEnv()));
    ReadAndCloseBox("Warning", "second-instance",
                    "The Program Has Already Invoked in Other Session !!");
    EXPECT_EQ(second.Wait(UI_WAIT), 0);
    EXPECT_EQ(second.Stderr().find("Warning: The Program"), std::string::npos);
    EXPECT_FALSE(FileExists(other.File("ServerLog.txt")));
    // SIGTERM while its box is open ends that copy with 0 too.
    ChildProcess third;
    ASSERT_TRUE(third.Start({other.File("pellomar")}, other.path(), AgentEnv()));
    Win warning;
    ASSERT_TRUE(WaitOne([] { return VisibleNamed("Warning"); }, &warning));
    third.Signal(SIGTERM);
    EXPECT_EQ(third.Wait(UI_WAIT), 0);
    EXPECT_TRUE(Wait([] { return VisibleNamed("Warning").empty(); }));

    // " Exit " ends the agent with 0 and takes the icon away.
    menu = OpenMenuAt(icon);
    Shot(menu, "menu-before-exit");
    Xdo({"key", "Down", "Down", "Down", "Return"});
    EXPECT_EQ(agent.process().Wait(UI_WAIT), 0) << agent.process().Stderr();
    EXPECT_TRUE(Wait([] { return Untitled(true).empty(); }));
}

TEST_F(Desktop, StandInWindowWithoutNotificationArea) {
    ASSERT_NO_FATAL_FAILURE(StartWindowManager(false));
    AgentProcess agent;
    ASSERT_TRUE(agent.Start({DESKTOP_MODULE}, "", AgentEnv())) << agent.process().Stderr();
    CloseCardFinderBoxes();

    // After its grace period the hidden window shows in the tray icon's place.
    Win window;
    ASSERT_TRUE(WaitOne([] { return VisibleNamed("Pellomar"); }, &window)) << "no window";
    std::string text = Read(window, "stand-in", TOOLTIP);
    EXPECT_NE(text.find(TOOLTIP), std::string::npos) << text;
    EXPECT_NE(text.find("File"), std::string::npos) << text;
    EXPECT_NE(text.find("Help"), std::string::npos) << text;

    // Alt+/ opens the about box.
    Xdo({"windowactivate", "--sync", window.id});
    Xdo({"key", "alt+slash"});
    text = ReadAndCloseBox("About", "about", [](const std::string& t) {
        return t.find("Pellomar Version 1.0") != std::string::npos &&
               t.find("OK") != std::string::npos;
    });
    EXPECT_NE(text.find("Pellomar Version 1.0"), std::string::npos) << text;
    EXPECT_NE(text.find("OK"), std::string::npos) << text;

    // The same popup menu on a right-button release in the window.
    PointAt(window, 10);
    Xdo({"mousedown", "3"});
    Settle();
    EXPECT_TRUE(Untitled(false).empty()) << "the menu opened on the press";
    Xdo({"mouseup", "3"});
    Win menu;
    ASSERT_TRUE(WaitOne([] { return Untitled(false); }, &menu)) << "no menu on the release";
    CheckMenu(menu, "stand-in-menu", false);
    Xdo({"key", "Escape"});
    EXPECT_TRUE(Wait([] { return Untitled(false).empty(); }));

    // A notification area appears: the icon docks there and the window goes away.
    StopWindowManager();
    ASSERT_NO_FATAL_FAILURE(StartWindowManager(true));
    Win icon;
    EXPECT_TRUE(WaitOne([] { return Untitled(true); }, &icon)) << "the icon did not dock";
    EXPECT_TRUE(Wait([] { return VisibleNamed("Pellomar").empty(); })) << "window still shown";

    // SIGTERM ends it with 0, as Exit does.
    EXPECT_EQ(agent.Stop(UI_WAIT), 0) << agent.process().Stderr();
}

// Boxes asked for by worker threads (the card finder's) are shown together, non-modal, by the UI
// thread, and each worker blocks until its own box is closed. The desktop runs in a copy of this
// test program, so that its application object lives in a process of its own.
TEST_F(Desktop, WorkerThreadBoxesShowTogetherAndBlockTheirThreads) {
    if (std::getenv(CHILD_ENV) != nullptr) {
        ASSERT_TRUE(plat::DesktopConnect());
        ASSERT_TRUE(CreateTrayWindow());
        std::atomic<int> returned{0};
        auto worker = [&returned](const char* text) {
            plat::ShowMessageBox(CARD_FINDER, text, plat::MsgBoxIcon::None);
            std::printf("returned %d\n", ++returned);
            std::fflush(stdout);
        };
        std::thread a(worker, "Serial Number: ALPHA");
        std::thread b(worker, "Serial Number: BRAVO");
        std::thread quit([&returned] {
            WaitFor([&] { return returned.load() == 2; }, seconds(120));
            plat::DesktopQuit(7);
        });
        EXPECT_EQ(plat::DesktopRunLoop(), 7);
        a.join();
        b.join();
        quit.join();
        // As the agent does: leave without tearing the desktop down.
        std::fflush(nullptr);
        std::_Exit(::testing::Test::HasFailure() ? 1 : 0);
    }

    ASSERT_NO_FATAL_FAILURE(StartWindowManager(true));
    std::vector<std::string> env = AgentEnv();
    env.push_back(std::string(CHILD_ENV) + "=1");
    ChildProcess child;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    ASSERT_TRUE(child.Start(
        {self, "--gtest_filter=Desktop.WorkerThreadBoxesShowTogetherAndBlockTheirThreads"},
        work_.path(), env));

    ASSERT_TRUE(Wait([] { return VisibleNamed(CARD_FINDER).size() == 2; }))
        << "not both boxes shown; " << child.Stdout() << child.Stderr();
    std::vector<Win> boxes = VisibleNamed(CARD_FINDER);
    Xdo({"windowactivate", "--sync", boxes[0].id});
    auto serial = [](const std::string& t) {
        return t.find("Serial Number: ALPHA") != std::string::npos ||
               t.find("Serial Number: BRAVO") != std::string::npos;
    };
    std::string text = Read(boxes[0], "card-finder", serial);
    EXPECT_TRUE(serial(text)) << text;
    EXPECT_EQ(child.Stdout().find("returned"), std::string::npos);  // both workers still wait

    Xdo({"key", "--clearmodifiers", "Return"});
    EXPECT_TRUE(Wait([&] { return child.Stdout().find("returned 1\n") != std::string::npos; }));
    EXPECT_EQ(VisibleNamed(CARD_FINDER).size(), 1u);
    EXPECT_EQ(child.Stdout().find("returned 2"), std::string::npos);

    Xdo({"windowactivate", "--sync", boxes[1].id});
    Xdo({"key", "--clearmodifiers", "Return"});
    EXPECT_EQ(child.Wait(UI_WAIT), 0) << child.Stdout() << child.Stderr();
    EXPECT_NE(child.Stdout().find("returned 2\n"), std::string::npos) << child.Stdout();
}

}  // namespace

// Run-at-start-up registration as an XDG autostart entry, with its message boxes headless.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/HostPaths.h"
#include "platform/StartupReg.h"
#include "shell/RunKey.h"
#include "shell/TrayWindow.h"
#include "support/TestSupport.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// Standard error of this process, redirected into a file while the object lives.
class StderrCapture {
  public:
    StderrCapture() {
        std::fflush(stderr);
        saved_ = dup(2);
        int fd = open(dir_.File("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() { Restore(); }
    // What was written so far; ends the capture.
    std::string Take() {
        Restore();
        return ReadFile(dir_.File("err"));
    }

  private:
    void Restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    TempDir dir_;
    int saved_ = -1;
};

struct FileId {
    ino_t ino = 0;
    struct timespec mtime {};
};
FileId IdOf(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return {st.st_ino, st.st_mtim};
}

std::string ExePath() {
    char buf[plat::SRV_PATH_MAX];
    EXPECT_TRUE(plat::GetExecutablePath(buf, sizeof buf));
    return buf;
}

// Reads the Exec value of a desktop entry as a launcher does: the key-file layer (\s \n \t \r
// \\), then field codes (%% is one %, other codes drop out with no file to pass), then the
// quoting rules of the argument list. Returns the arguments; `ok` false on a malformed value.
std::vector<std::string> ParseExec(const std::string& value, bool* ok) {
    *ok = true;
    std::string s;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\') {
            s += value[i];
            continue;
        }
        if (++i == value.size()) {
            *ok = false;
            return {};
        }
        switch (value[i]) {
            case 's':
                s += ' ';
                break;
            case 'n':
                s += '\n';
                break;
            case 't':
                s += '\t';
                break;
            case 'r':
                s += '\r';
                break;
            case '\\':
                s += '\\';
                break;
            default:
                *ok = false;
                return {};
        }
    }
    std::vector<std::string> args;
    std::string cur;
    bool inArg = false, quoted = false;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '%') {
            if (i + 1 < s.size() && s[i + 1] == '%') {
                cur += '%';
                inArg = true;
            }
            ++i;
            continue;
        }
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else if (c == '\\') {
                if (i + 1 == s.size() ||
                    std::string("\"`$\\").find(s[i + 1]) == std::string::npos) {
                    *ok = false;  // only those four may follow a backslash inside quotes
                    return {};
                }
                cur += s[++i];
            } else {
                cur += c;
            }
        } else if (c == ' ') {
            if (inArg) args.push_back(cur);
            cur.clear();
            inArg = false;
        } else if (c == '"') {
            quoted = inArg = true;
        } else {
            if (std::string("\t\n'\\><~|&;$*?#()`").find(c) != std::string::npos) {
                *ok = false;  // a reserved character outside quotes
                return {};
            }
            cur += c;
            inArg = true;
        }
    }
    if (quoted) *ok = false;
    if (inArg) args.push_back(cur);
    return args;
}

std::string ExecLine(const std::string& entry) {
    size_t p = entry.find("\nExec=");
    if (p == std::string::npos) return "";
    p += 6;
    return entry.substr(p, entry.find('\n', p) - p);
}

class RunKeyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        xdg_ = config_.path() + "/xdg";
        setenv("XDG_CONFIG_DIRS", (xdg_ + ":/nonexistent-second").c_str(), 1);
    }
    std::string Entry() const { return xdg_ + "/autostart/Tavenu RAID Manager Server.desktop"; }
    static std::string Add(bool* result) {
        StderrCapture cap;
        *result = RunKeyAdd();
        return cap.Take();
    }
    static std::string Remove(bool* result) {
        StderrCapture cap;
        *result = RunKeyRemove();
        return cap.Take();
    }

    TempDir config_;
    std::string xdg_;
};

TEST_F(RunKeyTest, AddTwiceWritesOnceThenSaysAlreadyAdded) {
    EXPECT_FALSE(RunKeyQuery());
    bool r = false;
    // The autostart folder and the config folder above it do not exist yet: both are made.
    EXPECT_EQ(Add(&r), "Information: RegEdit Add Done!\n");
    EXPECT_TRUE(r);
    EXPECT_TRUE(RunKeyQuery());
    std::string entry = ReadFile(Entry());
    EXPECT_EQ(entry, "[Desktop Entry]\nType=Application\nName=Tavenu RAID Manager Server\nExec=\"" +
                         ExePath() + "\"\nTerminal=false\n");
    struct stat st {};
    ASSERT_EQ(stat(Entry().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    FileId before = IdOf(Entry());
    EXPECT_EQ(Add(&r), "Information: Already Added!\n");
    EXPECT_TRUE(r);
    FileId after = IdOf(Entry());
    EXPECT_EQ(after.ino, before.ino);
    EXPECT_EQ(after.mtime.tv_nsec, before.mtime.tv_nsec);
    EXPECT_EQ(ReadFile(Entry()), entry);
    // Nothing but the entry is left in the folder (no temporary file).
    size_t files = 0;
    for (const auto& e : fs::directory_iterator(xdg_ + "/autostart")) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 1u);
}

TEST_F(RunKeyTest, RemoveTwiceDeletesThenSaysAlreadyRemoved) {
    bool r = false;
    Add(&r);
    ASSERT_TRUE(RunKeyQuery());
    EXPECT_EQ(Remove(&r), "Information: RegEdit Remove Done!\n");
    EXPECT_TRUE(r);
    EXPECT_FALSE(FileExists(Entry()));
    EXPECT_FALSE(RunKeyQuery());
    EXPECT_EQ(Remove(&r), "Information: Already Removed!\n");
    EXPECT_TRUE(r);
}

TEST_F(RunKeyTest, ForeignEntryOfTheSameNameCountsAsRegistered) {
    fs::create_directories(xdg_ + "/autostart");
    for (size_t size : {size_t{0}, size_t{8192}, size_t{20000}}) {
        SCOPED_TRACE(size);
        std::string foreign(size, 'x');
        ASSERT_TRUE(WriteFile(Entry(), foreign));
        EXPECT_TRUE(RunKeyQuery());
        bool r = false;
        EXPECT_EQ(Add(&r), "Information: Already Added!\n");
        EXPECT_EQ(ReadFile(Entry()), foreign);
    }
    bool r = false;
    EXPECT_EQ(Remove(&r), "Information: RegEdit Remove Done!\n");
    EXPECT_FALSE(FileExists(Entry()));
}

TEST_F(RunKeyTest, MenuMarksFollowTheRegistration) {
    auto marks = [] {
        std::vector<plat::TrayMenuEntry> m = BuildTrayMenu();
        EXPECT_EQ(m.size(), 5u);
        return std::make_pair(m[0].checked, m[2].checked);
    };
    EXPECT_EQ(marks(), std::make_pair(false, true));
    bool r = false;
    Add(&r);
    EXPECT_EQ(marks(), std::make_pair(true, false));
    Remove(&r);
    EXPECT_EQ(marks(), std::make_pair(false, true));
}

TEST_F(RunKeyTest, KeyThatCannotOpenShowsNothing) {
    // The config folder lies under a regular file: the autostart folder can never be made.
    ASSERT_TRUE(WriteFile(config_.File("plain"), "x"));
    setenv("XDG_CONFIG_DIRS", config_.File("plain/xdg").c_str(), 1);
    EXPECT_FALSE(plat::StartupKeyOpen());
    EXPECT_FALSE(RunKeyQuery());
    bool r = true;
    EXPECT_EQ(Add(&r), "");
    EXPECT_FALSE(r);
    r = true;
    EXPECT_EQ(Remove(&r), "");
    EXPECT_FALSE(r);
    std::vector<plat::TrayMenuEntry> m = BuildTrayMenu();
    EXPECT_FALSE(m[0].checked);
    EXPECT_TRUE(m[2].checked);
}

TEST_F(RunKeyTest, FailedWriteIsReportedNotDone) {
    // A folder in the entry's place: it does not read as an entry, and no file can replace it.
    fs::create_directories(Entry());
    EXPECT_FALSE(RunKeyQuery());
    bool r = true;
    EXPECT_EQ(Add(&r), "Information: RegEdit Add Failed!\n");
    EXPECT_FALSE(r);
    EXPECT_TRUE(fs::is_directory(Entry()));
    size_t files = 0;
    for (const auto& e : fs::directory_iterator(xdg_ + "/autostart")) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 1u);  // the temporary file is gone
}

TEST_F(RunKeyTest, FifoOfTheSameNameDoesNotHang) {
    fs::create_directories(xdg_ + "/autostart");
    ASSERT_EQ(mkfifo(Entry().c_str(), 0644), 0);
    EXPECT_FALSE(RunKeyQuery());
    bool r = false;
    EXPECT_EQ(Add(&r), "Information: RegEdit Add Done!\n");  // a real entry replaces it
    EXPECT_TRUE(RunKeyQuery());
}

TEST(StartupReg, FirstAbsoluteConfigDirHoldsTheEntry) {
    TempDir t;
    struct Case {
        std::string dirs;
        std::string expect;  // folder that must receive autostart/
    } cases[] = {
        {t.path() + "/a:" + t.path() + "/b", t.path() + "/a"},
        {"relative/dir::" + t.path() + "/c/", t.path() + "/c"},
        {t.path() + "/d///", t.path() + "/d"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dirs);
        setenv("XDG_CONFIG_DIRS", c.dirs.c_str(), 1);
        EXPECT_TRUE(plat::StartupKeyOpen());
        ASSERT_TRUE(plat::StartupValueWrite("Probe", "/usr/bin/true"));
        EXPECT_TRUE(FileExists(c.expect + "/autostart/Probe.desktop"));
        EXPECT_TRUE(plat::StartupValueExists("Probe"));
        EXPECT_TRUE(plat::StartupValueDelete("Probe"));
        EXPECT_FALSE(plat::StartupValueExists("Probe"));
        EXPECT_TRUE(plat::StartupValueDelete("Probe"));  // gone already: still fine
    }
}

TEST(StartupReg, RefusesPathsAnEntryCannotCarry) {
    TempDir t;
    setenv("XDG_CONFIG_DIRS", t.path().c_str(), 1);
    for (const char* bad : {"", "relative/pellomar", "/opt/new\nline", "/opt/tab\there",
                            "/opt/bad\xff utf8", "/opt/\xc0\xafoverlong"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(plat::StartupValueWrite("Probe", bad));
        EXPECT_FALSE(plat::StartupValueExists("Probe"));
    }
}

TEST(StartupReg, ExecLineQuotesEveryReservedCharacter) {
    TempDir t;
    setenv("XDG_CONFIG_DIRS", t.path().c_str(), 1);
    const char* paths[] = {
        "/opt/pellomar/pellomar",
        "/opt/Tavenu RAID/pellomar server",
        "/opt/a\"quote\"/b'single'",
        "/opt/back\\slash/\\\\two",
        "/opt/$HOME/`uname`/$(id)",
        "/opt/100%/%f %u %%",
        "/opt/semi;colon&amp|pipe<in>out~#*?()",
        "/opt/caf\xc3\xa9 \xe2\x82\xac/pellomar",
    };
    for (const char* p : paths) {
        SCOPED_TRACE(p);
        ASSERT_TRUE(plat::StartupValueWrite("Probe", p));
        std::string exec = ExecLine(ReadFile(t.path() + "/autostart/Probe.desktop"));
        bool ok = false;
        std::vector<std::string> args = ParseExec(exec, &ok);
        EXPECT_TRUE(ok) << exec;
        ASSERT_EQ(args.size(), 1u) << exec;
        EXPECT_EQ(args[0], p) << exec;
    }
}

// The written entry launches the program through a real launcher, however odd its path.
TEST(StartupReg, EntryLaunchesAPathWithBlanksAndQuotes) {
    if (access("/usr/bin/gio", X_OK) != 0) GTEST_SKIP() << "gio (libglib2.0-bin) not installed";
    TempDir t;
    setenv("XDG_CONFIG_DIRS", t.File("xdg").c_str(), 1);
    // '%' is left out: the launcher looks for the program before it reads field codes.
    std::string dir = t.File("Program Files/it's \"odd\" $HOME `x` \\ dir");
    fs::create_directories(dir);
    std::string exe = dir + "/pellomar agent";
    std::string marker = t.File("ran");
    ASSERT_TRUE(WriteFile(exe, "#!/bin/sh\nprintf '%s' \"$0\" > '" + marker + "'\n"));
    ASSERT_EQ(chmod(exe.c_str(), 0755), 0);
    ASSERT_TRUE(plat::StartupValueWrite(RUN_KEY_VALUE_NAME, exe.c_str()));

    std::string out, err;
    ChildProcess gio;
    ASSERT_TRUE(gio.Start(
        {"/usr/bin/gio", "launch", t.File("xdg/autostart/Tavenu RAID Manager Server.desktop")}, "",
        {"DISPLAY=", "WAYLAND_DISPLAY=", "DBUS_SESSION_BUS_ADDRESS="}));
    EXPECT_EQ(gio.Wait(std::chrono::seconds(30)), 0) << gio.Stderr();
    EXPECT_TRUE(WaitFor([&] { return ReadFile(marker) == exe; }, std::chrono::seconds(20)))
        << ReadFile(marker);
}

}  // namespace

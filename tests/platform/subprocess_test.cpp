// Watched programs: output lines, exit codes, the environment, missing programs, and the bound
// that ends a program together with what it started.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/Process.h"
#include "platform/Subprocess.h"
#include "support/TestSupport.h"

namespace {

TEST(Subprocess, LinesExitCodeAndEnvironment) {
    plat::Subprocess p;
    const char* const argv[] = {
        "/bin/sh", "-c", "echo \"one $HOOK_TEXT\"; echo two >&2; printf 'three'; exit 3", nullptr};
    const char* const env[] = {"HOOK_TEXT=$(touch /tmp/never) ; x", nullptr};
    std::string why;
    ASSERT_EQ(p.Start(argv, env, &why), plat::LAUNCH_OK) << why;
    std::vector<std::string> lines;
    EXPECT_TRUE(p.ReadLines(10000, [&](const std::string& l) { lines.push_back(l); }));
    EXPECT_EQ(lines, (std::vector<std::string>{"one $(touch /tmp/never) ; x", "two", "three"}));
    int code = -1;
    EXPECT_TRUE(p.Wait(10000, &code));
    EXPECT_EQ(code, 3);
}

// A variable of the agent's own that extraEnv names is replaced, not handed over twice.
TEST(Subprocess, ExtraEnvironmentReplacesAnInheritedVariable) {
    ASSERT_EQ(setenv("PELLOMAR_SUBPROCESS_TEST", "inherited", 1), 0);
    plat::Subprocess p;
    const char* const argv[] = {"/bin/sh", "-c", "env | grep '^PELLOMAR_SUBPROCESS_TEST='",
                                nullptr};
    const char* const env[] = {"PELLOMAR_SUBPROCESS_TEST=replaced", nullptr};
    const int started = p.Start(argv, env, nullptr);
    unsetenv("PELLOMAR_SUBPROCESS_TEST");
    ASSERT_EQ(started, plat::LAUNCH_OK);
    std::vector<std::string> lines;
    EXPECT_TRUE(p.ReadLines(10000, [&](const std::string& l) { lines.push_back(l); }));
    EXPECT_EQ(lines, (std::vector<std::string>{"PELLOMAR_SUBPROCESS_TEST=replaced"}));
}

// A CR before the line end goes (one elsewhere stays); a line past 4096 bytes is cut there and
// the next line comes whole.
TEST(Subprocess, LineEndsAndOverlongLines) {
    plat::Subprocess p;
    const char* const argv[] = {
        "/bin/sh", "-c",
        "printf 'dos\\r\\nmid\\rdle\\n'; head -c 5000 /dev/zero | tr '\\0' x; echo; echo after",
        nullptr};
    ASSERT_EQ(p.Start(argv, nullptr, nullptr), plat::LAUNCH_OK);
    std::vector<std::string> lines;
    EXPECT_TRUE(p.ReadLines(10000, [&](const std::string& l) { lines.push_back(l); }));
    EXPECT_EQ(lines,
              (std::vector<std::string>{"dos", "mid\rdle", std::string(4096, 'x'), "after"}));
}

TEST(Subprocess, AMissingProgramDoesNotRun) {
    const struct {
        const char* path;
        int result;
    } cases[] = {{"/nonexistent/program", plat::LAUNCH_FILE_NOT_FOUND},
                 {"/etc/hostname", plat::LAUNCH_ACCESS_DENIED},
                 {"", plat::LAUNCH_FILE_NOT_FOUND}};
    for (const auto& c : cases) {
        plat::Subprocess p;
        const char* const argv[] = {c.path, nullptr};
        std::string why;
        EXPECT_EQ(p.Start(argv, nullptr, &why), c.result) << c.path;
        EXPECT_FALSE(p.Running()) << c.path;
    }
}

// WatchToEnd keeps to one limit for the whole run: a program that closes its output but runs on
// is ended at that limit, as is one that keeps its output open; one that ends in time gives its
// lines and exit code.
TEST(Subprocess, WatchToEndEndsTheProgramAtOneLimit) {
    constexpr auto LIMIT = std::chrono::milliseconds(2000);
    const struct {
        const char* name;
        const char* script;
        bool ended;
        int code;
    } cases[] = {
        {"ends in time", "echo one; sleep 0.2; exit 4", true, 4},
        // Past the limit when the wait after the output's end had a limit of its own.
        {"closes its output and sleeps", "echo one; sleep 1; exec >&- 2>&-; sleep 60", false, -1},
        {"sleeps with its output open", "echo one; sleep 60", false, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        plat::Subprocess p;
        const char* const argv[] = {"/bin/sh", "-c", c.script, nullptr};
        ASSERT_EQ(p.Start(argv, nullptr, nullptr), plat::LAUNCH_OK);
        std::vector<std::string> lines;
        const auto keep = [&](const std::string& l) { lines.push_back(l); };
        int code = -1;
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(p.WatchToEnd(static_cast<int>(LIMIT.count()), keep, &code), c.ended);
        const auto took = std::chrono::steady_clock::now() - t0;
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(lines, std::vector<std::string>{"one"});
        EXPECT_FALSE(p.Running());
        if (!c.ended) {
            EXPECT_GE(took, LIMIT - std::chrono::milliseconds(50));
        }
        EXPECT_LT(took, LIMIT + std::chrono::milliseconds(800));
    }
}

// A program past its bound is ended with everything it started, however it ignores SIGTERM.
TEST(Subprocess, KillEndsTheWholeGroup) {
    testing_support::TempDir dir;
    const std::string pidFile = dir.File("grandchild");
    plat::Subprocess p;
    const std::string script = "trap '' TERM; sleep 60 & echo $! > " + pidFile + "; wait";
    const char* const argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
    ASSERT_EQ(p.Start(argv, nullptr, nullptr), plat::LAUNCH_OK);
    ASSERT_TRUE(
        testing_support::WaitFor([&] { return !testing_support::ReadFile(pidFile).empty(); }));
    EXPECT_FALSE(p.ReadLines(200, [](const std::string&) {}));
    const auto t0 = std::chrono::steady_clock::now();
    p.Kill();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_FALSE(p.Running());
    const int grandchild = std::stoi(testing_support::ReadFile(pidFile));
    EXPECT_TRUE(testing_support::WaitFor([&] { return kill(grandchild, 0) != 0; }));
}

// With descriptors 0-2 closed in the agent its pipes get those numbers; the program's output
// must still arrive, on standard output and error alike, and a failed exec still be told.
TEST(Subprocess, WorksFromAProcessWhoseStandardStreamsAreClosed) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(0);
        close(1);
        close(2);
        plat::Subprocess p;
        const char* const argv[] = {"/bin/sh", "-c", "echo out; echo err >&2", nullptr};
        std::vector<std::string> lines;
        const bool ran = p.Start(argv, nullptr, nullptr) == plat::LAUNCH_OK &&
                         p.ReadLines(10000, [&](const std::string& l) { lines.push_back(l); });
        int code = -1;
        const bool ended = p.Wait(10000, &code) && code == 0;
        plat::Subprocess missing;
        const char* const none[] = {"/nonexistent/program", nullptr};
        const bool told = missing.Start(none, nullptr, nullptr) == plat::LAUNCH_FILE_NOT_FOUND;
        _exit(!ran                                              ? 1
              : lines != std::vector<std::string>{"out", "err"} ? 2
              : !ended                                          ? 3
              : !told                                           ? 4
                                                                : 0);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0)
        << "1: not started, 2: output lost, 3: bad end, 4: exec error lost";
}

}  // namespace

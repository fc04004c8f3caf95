// Detached launch of external programs.
#include "platform/Process.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "support/FakeProgram.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

int Launch(const std::string& path, const char* arg = nullptr) {
    const char* const argv[] = {path.c_str(), arg, nullptr};
    return plat::LaunchDetached(argv);
}

std::string CurrentDir() {
    char buf[4096];
    return getcwd(buf, sizeof buf) != nullptr ? std::string(buf) : std::string();
}

}  // namespace

TEST(LaunchDetached, RunsTheProgramDetachedWithItsArgumentsAndLeavesNoChild) {
    TempDir dir;
    std::string prog = dir.File("fake");
    ASSERT_TRUE(WriteFakeProgram(prog));
    // A descriptor of ours without close-on-exec must not reach the program.
    std::string marker = dir.File("marker");
    ASSERT_TRUE(WriteFile(marker, "x"));
    int leaked = open(marker.c_str(), O_RDONLY);
    ASSERT_GE(leaked, 0);
    // The agent blocks SIGTERM in every thread and may ignore SIGPIPE: the program gets neither.
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, nullptr), 0);
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    struct sigaction oldPipe {};
    ASSERT_EQ(sigaction(SIGPIPE, &ign, &oldPipe), 0);

    const char* const argv[] = {prog.c_str(), "KELDRAN", "two words", nullptr};
    int r = plat::LaunchDetached(argv);

    sigaction(SIGPIPE, &oldPipe, nullptr);
    pthread_sigmask(SIG_UNBLOCK, &term, nullptr);
    close(leaked);
    EXPECT_GT(r, 32);

    // Never our child: nothing to reap, now or after it ran.
    int st = 0;
    EXPECT_EQ(waitpid(-1, &st, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);

    ASSERT_TRUE(WaitForFakeReport(prog));
    auto rep = ReadFakeReport(prog);
    EXPECT_EQ(rep["argc"], "2");
    EXPECT_EQ(rep["arg1"], "KELDRAN");
    EXPECT_EQ(rep["arg2"], "two words");
    EXPECT_EQ(rep["sid"], rep["pid"]) << "not the leader of a session of its own";
    EXPECT_NE(rep["sid"], std::to_string(getsid(0)));
    EXPECT_NE(rep["ppid"], std::to_string(getpid()));
    EXPECT_EQ(rep["fd0"], "/dev/null");
    EXPECT_EQ(rep["fd1"], "/dev/null");
    EXPECT_EQ(rep["fd2"], "/dev/null");
    EXPECT_EQ(rep["fds"].find(marker), std::string::npos) << rep["fds"];
    EXPECT_EQ(rep["cwd"], CurrentDir());
    EXPECT_EQ(rep["sigblk"], "0000000000000000");
    EXPECT_EQ(rep["sigign"], "0000000000000000");
    EXPECT_EQ(waitpid(-1, &st, WNOHANG), -1);
}

TEST(LaunchDetached, ReportsWhyAProgramCannotStart) {
    TempDir dir;
    std::string plain = dir.File("plain");
    ASSERT_TRUE(WriteFile(plain, "#!/bin/sh\nexit 0\n"));
    ASSERT_EQ(chmod(plain.c_str(), 0644), 0);
    std::string garbage = dir.File("garbage");
    ASSERT_TRUE(WriteFile(garbage, "\x7f\x01\x02 not a program"));
    ASSERT_EQ(chmod(garbage.c_str(), 0755), 0);
    struct Case {
        std::string path;
        int result;
    } cases[] = {
        {dir.File("missing"), plat::LAUNCH_FILE_NOT_FOUND},
        {dir.File("no-such-folder/EchoBack"), plat::LAUNCH_FILE_NOT_FOUND},
        {plain + "/EchoBack", plat::LAUNCH_FILE_NOT_FOUND},  // a file where a folder should be
        {"", plat::LAUNCH_FILE_NOT_FOUND},
        {plain, plat::LAUNCH_ACCESS_DENIED},       // no execute permission
        {dir.path(), plat::LAUNCH_ACCESS_DENIED},  // a folder
        {garbage, plat::LAUNCH_ACCESS_DENIED},     // no executable format
    };
    for (const Case& c : cases)
        EXPECT_EQ(Launch(c.path, "KELDRAN"), c.result) << "'" << c.path << "'";
    int st = 0;
    EXPECT_EQ(waitpid(-1, &st, WNOHANG), -1) << "a failed launch left a child behind";
}

TEST(LaunchDetached, WorksFromAProcessWhoseStandardStreamsAreClosed) {
    // The pipe that reports exec's outcome then gets descriptors 0 and 1; it must survive the
    // move of the program's streams to /dev/null, both for a failure and for a success.
    TempDir dir;
    std::string prog = dir.File("fake");
    ASSERT_TRUE(WriteFakeProgram(prog));
    std::string missing = dir.File("missing");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(0);
        close(1);
        close(2);
        int bad = Launch(missing);
        int good = Launch(prog);
        _exit(bad == plat::LAUNCH_FILE_NOT_FOUND && good > 32 ? 0 : 1);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    ASSERT_TRUE(WaitForFakeReport(prog));
    auto rep = ReadFakeReport(prog);
    EXPECT_EQ(rep["fd0"], "/dev/null");
    EXPECT_EQ(rep["fd1"], "/dev/null");
    EXPECT_EQ(rep["fd2"], "/dev/null");
}

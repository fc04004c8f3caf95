// The event hook: the event in the environment and never on a command line or through a shell,
// at most four at once, and a hook that runs past its bound ended.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "app/EventHook.h"
#include "controller/CtlrTestUtil.h"
#include "support/TestSupport.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

CtlrEvent DiskOffline() {
    uint8_t b[EVENT_REC_SIZE] = {3, 0, 0, 5, 1, 0, 0, 1};
    return CtlrEvent::FromBytes(b);
}

TEST(EventHook, EnvironmentConcurrencyAndBound) {
    ServerDirScope sd;
    TempDir out;
    const std::string hook = out.File("hook.sh");
    WriteFile(hook,
              "#!/bin/sh\n"
              "d='" +
                  out.path() +
                  "'\n"
                  "mkdir \"$d/run.$$\"\n"
                  "ls -d \"$d\"/run.* | wc -l >> \"$d/concurrent\"\n"
                  "env | grep '^PELLOMAR_' | sort > \"$d/env.$PELLOMAR_CONTROLLER\"\n"
                  "[ \"$PELLOMAR_CONTROLLER\" = 9 ] && sleep 60\n"
                  "sleep 0.5\n"
                  "rmdir \"$d/run.$$\"\n"
                  "[ \"$PELLOMAR_CONTROLLER\" = 8 ] && exit 3\n"
                  "exit 0\n");
    fs::permissions(hook, fs::perms::owner_all);
    // A serial a controller could report: were it ever run by a shell, it would leave "pwn"
    // in the current directory.
    const std::string hostile = "$(touch pwn);`id`";
    for (uint8_t n = 0; n < 10; ++n)
        ctlr_test::SetEntry(n, "\\\\.\\Scsi0: ", n == 0 ? hostile.c_str() : "SN-HOOK");

    HookSettings h;
    h.program = hook;
    StartEventHook(h);
    const char* text = "Disk B5 is Offline or Plugout.\n";
    for (uint8_t n = 0; n < 10; ++n)
        QueueEventHook(n, DiskOffline(), text, n != 7);

    ASSERT_TRUE(WaitFor([] { return GetEventHookStats().ok + GetEventHookStats().failed == 9; },
                        std::chrono::seconds(30)));
    // The event, as the environment carries it; the serial's text reached no shell.
    const std::string env0 = ReadFile(out.File("env.0"));
    for (const std::string& line : std::vector<std::string>{
             "PELLOMAR_CLASS=disk", "PELLOMAR_CONTROLLER=0", "PELLOMAR_MAILED=1",
             "PELLOMAR_RECOVERY=0", "PELLOMAR_SEVERITY=critical",
             "PELLOMAR_HEX=0300000501000001" + std::string(48, '0'),
             "PELLOMAR_TEXT=Disk B5 is Offline or Plugout.", "PELLOMAR_SERIAL=" + hostile})
        EXPECT_NE(env0.find(line + "\n"), std::string::npos) << line << "\n" << env0;
    EXPECT_NE(ReadFile(out.File("env.7")).find("PELLOMAR_MAILED=0\n"), std::string::npos);
    EXPECT_FALSE(FileExists("pwn"));
    // Never more than four at once.
    int most = 0;
    for (const std::string& l : SplitLines(ReadFile(out.File("concurrent"))))
        most = std::max(most, std::stoi(l));
    EXPECT_GE(most, 2);
    EXPECT_LE(most, EVENT_HOOK_WORKERS);
    EXPECT_EQ(GetEventHookStats().failed, 1u);
    EXPECT_NE(sd.Log().find("EventHook : " + hook + " for SN(SN-HOOK) exited 3.\n"),
              std::string::npos);
    // The one that sleeps is ended at the bound.
    EXPECT_TRUE(WaitFor([] { return GetEventHookStats().timedOut == 1; },
                        std::chrono::seconds(EVENT_HOOK_BOUND_S + 15)));
    EXPECT_NE(sd.Log().find("ran past 30 s, ended.\n"), std::string::npos);
    ctlr_test::ClearTable();
}

}  // namespace

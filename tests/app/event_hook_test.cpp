// The event hook: the event in the environment and never on a command line or through a shell,
// at most four at once, and a hook that runs past its bound ended.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "app/EventHook.h"
#include "support/TestSupport.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// A disk going offline on controller n, as RecEventToFile hands it on.
RecordedEvent DiskOffline(uint8_t n, const char* serial, bool mailed) {
    static const uint8_t b[EVENT_REC_SIZE] = {3, 0, 0, 5, 1, 0, 0, 1};
    static const std::string hex = "0300000501000001" + std::string(48, '0');
    const EventKind kind = ClassifyEvent(CtlrEvent::FromBytes(b));
    return RecordedEvent{n, serial, hex, "Disk B5 is Offline or Plugout.\n", kind, mailed};
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
    // in the current directory. Control characters never reach the environment.
    const std::string hostile = "$(touch pwn);`id`";
    const std::string control = "SN\x01-\x7F";

    HookSettings h;
    h.program = hook;
    StartEventHook(h);
    for (uint8_t n = 0; n < 10; ++n) {
        const std::string& serial = n == 0 ? hostile : n == 1 ? control : std::string("SN-HOOK");
        QueueEventHook(DiskOffline(n, serial.c_str(), n != 7));
    }

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
    EXPECT_NE(ReadFile(out.File("env.1")).find("PELLOMAR_SERIAL=SN_-_\n"), std::string::npos);
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
}

}  // namespace

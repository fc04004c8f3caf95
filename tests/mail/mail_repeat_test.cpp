// The repeat policies over sequences of events with a controlled clock, across a restart.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mail/MailRepeat.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

constexpr int64_t DAY = 24 * 60 * 60;
constexpr int64_t T0 = 1'800'000'000;

// One step: an event at day offset `at` (of condition `object`, class 1; or its recovery) and
// whether it is mailed. `restart` reloads the state from its file first.
struct Step {
    double at;
    uint16_t object;
    bool recovery;
    bool mailed;
    bool restart = false;
};

void RunSteps(MailRepeat policy, const std::vector<Step>& steps, const char* name) {
    ServerDirScope dir;
    SetMailRepeatPolicy(policy);
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        if (s.restart) SetMailRepeatPolicy(policy);
        const bool got = MailRepeatAllows("SN1", 1, s.object, s.recovery, {}, false,
                                          T0 + static_cast<int64_t>(s.at * DAY));
        EXPECT_EQ(got, s.mailed) << name << " step " << i;
    }
    SetMailRepeatPolicy(MailRepeat::Always);
}

TEST(MailRepeat, PoliciesOverEventSequences) {
    RunSteps(MailRepeat::Always, {{0, 1, false, true}, {0, 1, false, true}, {0, 1, true, false}},
             "always");
    RunSteps(MailRepeat::Once,
             {{0, 1, false, true},
              {0.1, 1, false, false},
              {5, 1, false, false, true},  // after a restart still held back
              {5, 2, false, true},         // another disk is another condition
              {6, 1, true, false},         // recovered (not mailed: recoveries are not asked for)
              {6.1, 1, false, true}},      // a new condition
             "once");
    RunSteps(MailRepeat::Daily,
             {{0, 1, false, true},
              {0.5, 1, false, false},
              {1.0, 1, false, true, true},
              {1.5, 1, false, false}},
             "daily");
    RunSteps(MailRepeat::Diminishing,
             {{0, 1, false, true},
              {0.9, 1, false, false},
              {1, 1, false, true},     // after 1 day
              {2.5, 1, false, false},  // then 2 days
              {3, 1, false, true, true},
              {6.9, 1, false, false},  // then 4 days
              {7, 1, false, true},
              {15, 1, false, true},   // 8
              {31, 1, false, true},   // 16
              {62, 1, false, false},  // then 32 at most
              {63, 1, false, true},
              {95, 1, false, true}},
             "diminishing");
}

TEST(MailRepeat, ARecoveryIsMailedOnlyWhenAskedAndEndsTheNamedClasses) {
    ServerDirScope dir;
    SetMailRepeatPolicy(MailRepeat::Once);
    EXPECT_TRUE(MailRepeatAllows("SN1", 1, 7, false, {}, false, T0));  // a disk offline
    EXPECT_TRUE(MailRepeatAllows("SN1", 8, 2, false, {}, false, T0));  // an array degraded
    EXPECT_TRUE(MailRepeatAllows("SN2", 1, 7, false, {}, false, T0));  // another controller
    // A rebuild done (class 0) ends SN1's disk and degraded-array conditions, and is mailed.
    EXPECT_TRUE(MailRepeatAllows("SN1", 0, 0x9D, true, {1, 8}, true, T0 + 10));
    EXPECT_TRUE(MailRepeatAllows("SN1", 1, 7, false, {}, false, T0 + 20));
    EXPECT_TRUE(MailRepeatAllows("SN1", 8, 2, false, {}, false, T0 + 20));
    EXPECT_FALSE(MailRepeatAllows("SN2", 1, 7, false, {}, false, T0 + 20));
    const uint64_t held = MailRepeatSuppressed();
    EXPECT_FALSE(MailRepeatAllows("SN2", 1, 7, false, {}, false, T0 + 30));
    EXPECT_EQ(MailRepeatSuppressed(), held + 1);
    // Logged once per condition, not per held mail.
    const std::string log = dir.Log();
    EXPECT_EQ(log.find("SN2 class 1 object 7 goes on"), log.rfind("SN2 class 1 object 7 goes on"));
    SetMailRepeatPolicy(MailRepeat::Always);
}

}  // namespace

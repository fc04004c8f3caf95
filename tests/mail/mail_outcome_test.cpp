// The agent's reading of the mailer's outcome lines (protocol/MailOutcomeLine.h): which
// recipient a line belongs to, what it says, and how each outcome is counted.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mail/MailOutcome.h"

namespace {

std::vector<MailRecipientOutcome> Recipients(const std::vector<std::string>& addresses) {
    std::vector<MailRecipientOutcome> out;
    for (const std::string& a : addresses) {
        MailRecipientOutcome o;
        o.address = a;
        out.push_back(o);
    }
    return out;
}

TEST(MailOutcomeLine, EachLineGoesToTheRecipientItNames) {
    const std::string longDetail(MAIL_OUTCOME_DETAIL_MAX + 50, 'x');
    const struct {
        std::string line;
        int recipient;  // -1: no outcome line, or nobody it names
        bool sent;
        std::string reason;
        std::string detail;
    } cases[] = {
        {"MAIL-OUTCOME sent b@x.test", 1, true, "", ""},
        {"MAIL-OUTCOME failed refused a@x.test 550 no such user", 0, false, "refused",
         "550 no such user"},
        {"MAIL-OUTCOME failed no_outcome a@x.test", 0, false, "no_outcome", ""},
        // A reason the agent does not know counts as "other"; a long detail is cut.
        {"MAIL-OUTCOME failed teapot a@x.test 418", 0, false, "other", "418"},
        {"MAIL-OUTCOME failed tls b@x.test " + longDetail, 1, false, "tls",
         longDetail.substr(0, MAIL_OUTCOME_DETAIL_MAX)},
        {"MAIL-OUTCOME sent c@x.test", -1, false, "", ""},
        {"MAIL-OUTCOME sent", -1, false, "", ""},
        {"MAIL-OUTCOME queued a@x.test", -1, false, "", ""},
        {"mail-outcome sent a@x.test", -1, false, "", ""},
        {"SendMail: sending to a@x.test failed", -1, false, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        std::vector<MailRecipientOutcome> r = Recipients({"a@x.test", "b@x.test"});
        EXPECT_EQ(ParseMailOutcomeLine(c.line, &r), c.recipient >= 0);
        for (int i = 0; i < 2; ++i)
            EXPECT_EQ(r[i].known, i == c.recipient) << i;
        if (c.recipient < 0) continue;
        const MailRecipientOutcome& o = r[c.recipient];
        EXPECT_EQ(o.sent, c.sent);
        EXPECT_EQ(o.reason, c.reason);
        EXPECT_EQ(o.detail, c.detail);
    }

    // A recipient named twice takes one line in each of its places, in order.
    std::vector<MailRecipientOutcome> r = Recipients({"a@x.test", "b@x.test", "a@x.test"});
    EXPECT_TRUE(ParseMailOutcomeLine("MAIL-OUTCOME sent a@x.test", &r));
    EXPECT_TRUE(ParseMailOutcomeLine("MAIL-OUTCOME failed auth a@x.test 535 no", &r));
    EXPECT_FALSE(ParseMailOutcomeLine("MAIL-OUTCOME sent a@x.test", &r));
    EXPECT_TRUE(r[0].sent);
    EXPECT_FALSE(r[1].known);
    EXPECT_EQ(r[2].reason, "auth");
}

TEST(MailOutcomeLine, OutcomesAreCountedByReason) {
    const MailOutcomeStats before = GetMailOutcomeStats();
    MailRecipientOutcome o;
    o.known = true;
    o.sent = true;
    CountMailOutcome(o);
    o.sent = false;
    for (const char* reason : {"connect", "no_outcome", "teapot", "other"}) {
        o.reason = reason;
        CountMailOutcome(o);
    }
    const MailOutcomeStats after = GetMailOutcomeStats();
    EXPECT_EQ(after.sent - before.sent, 1u);
    for (size_t i = 0; i < MAIL_FAIL_REASON_COUNT; ++i) {
        const auto r = static_cast<MailFailReason>(i);
        const uint64_t expected = r == MailFailReason::Connect || r == MailFailReason::NoOutcome
                                      ? 1u
                                  : r == MailFailReason::Other ? 2u
                                                               : 0u;
        EXPECT_EQ(after.failed[i] - before.failed[i], expected) << MAIL_FAIL_REASON_NAMES[i];
    }
}

}  // namespace

#include "mail/MailOutcome.h"

#include <atomic>
#include <cstring>

namespace {

std::atomic<uint64_t> g_sent{0};
std::atomic<uint64_t> g_failed[MAIL_FAIL_REASON_COUNT] = {};

// The reason named `reason`; Other for a name the agent does not know.
MailFailReason ReasonOf(const std::string& reason) {
    for (size_t i = 0; i < MAIL_FAIL_REASON_COUNT; ++i)
        if (reason == MAIL_FAIL_REASON_NAMES[i]) return static_cast<MailFailReason>(i);
    return MailFailReason::Other;
}

// The next blank-separated word of `line` from `pos`.
std::string Word(const std::string& line, size_t* pos) {
    const size_t start = line.find_first_not_of(' ', *pos);
    if (start == std::string::npos) {
        *pos = line.size();
        return "";
    }
    const size_t end = line.find(' ', start);
    *pos = end == std::string::npos ? line.size() : end;
    return line.substr(start, *pos - start);
}

}  // namespace

bool ParseMailOutcomeLine(const std::string& line, std::vector<MailRecipientOutcome>* recipients) {
    constexpr size_t kPrefixLen = sizeof MAIL_OUTCOME_PREFIX - 1;
    if (line.compare(0, kPrefixLen, MAIL_OUTCOME_PREFIX) != 0) return false;
    size_t pos = kPrefixLen;
    const std::string verdict = Word(line, &pos);
    std::string reason, address, detail;
    if (verdict == "sent") {
        address = Word(line, &pos);
    } else if (verdict == "failed") {
        reason = Word(line, &pos);
        address = Word(line, &pos);
        const size_t start = line.find_first_not_of(' ', pos);
        if (start != std::string::npos) detail = line.substr(start, MAIL_OUTCOME_DETAIL_MAX);
        reason = MailFailReasonName(ReasonOf(reason));
    } else {
        return false;
    }
    if (address.empty()) return false;
    for (MailRecipientOutcome& r : *recipients) {
        if (r.known || r.address != address) continue;
        r.known = true;
        r.sent = verdict == "sent";
        r.reason = reason;
        r.detail = detail;
        return true;
    }
    return false;
}

MailOutcomeStats GetMailOutcomeStats() {
    MailOutcomeStats s{};
    s.sent = g_sent.load();
    for (size_t i = 0; i < MAIL_FAIL_REASON_COUNT; ++i)
        s.failed[i] = g_failed[i].load();
    return s;
}

void CountMailOutcome(const MailRecipientOutcome& o) {
    if (o.sent)
        g_sent.fetch_add(1);
    else
        g_failed[static_cast<size_t>(ReasonOf(o.reason))].fetch_add(1);
}

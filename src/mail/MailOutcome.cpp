#include "mail/MailOutcome.h"

#include <atomic>
#include <cstring>

namespace {

constexpr const char kPrefix[] = "MAIL-OUTCOME ";

std::atomic<uint64_t> g_sent{0};
std::atomic<uint64_t> g_failed[MAIL_FAIL_REASON_COUNT] = {};

int ReasonIndex(const std::string& reason) {
    for (int i = 0; i < MAIL_FAIL_REASON_COUNT; ++i)
        if (reason == MAIL_FAIL_REASONS[i]) return i;
    return 7;  // other
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
    if (line.compare(0, sizeof kPrefix - 1, kPrefix) != 0) return false;
    size_t pos = sizeof kPrefix - 1;
    const std::string verdict = Word(line, &pos);
    std::string reason, address, detail;
    if (verdict == "sent") {
        address = Word(line, &pos);
    } else if (verdict == "failed") {
        reason = Word(line, &pos);
        address = Word(line, &pos);
        const size_t start = line.find_first_not_of(' ', pos);
        if (start != std::string::npos) detail = line.substr(start, 200);
        if (ReasonIndex(reason) == 7 && reason != "other") reason = "other";
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
    for (int i = 0; i < MAIL_FAIL_REASON_COUNT; ++i)
        s.failed[i] = g_failed[i].load();
    return s;
}

void CountMailOutcome(const MailRecipientOutcome& o) {
    if (o.sent)
        g_sent.fetch_add(1);
    else
        g_failed[ReasonIndex(o.reason)].fetch_add(1);
}

#include "sendmail/MailOutcome.h"

#include <cstdio>

namespace sendmail {

namespace {

// The length of the control character at `i` (C0, DEL, or C1 as UTF-8: C2 80 to C2 9F); 0 for
// any other character.
size_t ControlLength(std::string_view s, size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7F) return 1;
    if (c == 0xC2 && i + 1 < s.size()) {
        const auto next = static_cast<unsigned char>(s[i + 1]);
        if (next >= 0x80 && next <= 0x9F) return 2;
    }
    return 0;
}

std::string WithoutControls(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const size_t n = ControlLength(s, i);
        if (n == 0) out += s[i++];
        i += n;
    }
    return out;
}

}  // namespace

std::string OutcomeDetail(std::string_view text) {
    std::string out = WithoutControls(text);
    const size_t first = out.find_first_not_of(' ');
    if (first == std::string::npos) return "-";
    out.erase(0, first);
    if (out.size() > MAIL_OUTCOME_DETAIL_MAX) {
        size_t cut = MAIL_OUTCOME_DETAIL_MAX;
        // Back off to the start of a character: continuation bytes are 10xxxxxx.
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80)
            --cut;
        out.resize(cut);
    }
    out.erase(out.find_last_not_of(' ') + 1);
    return out;
}

std::string OutcomeAddress(std::string_view text) {
    std::string out;
    for (char c : WithoutControls(text))
        if (c != ' ') out += c;
    return out.empty() ? "-" : out;
}

std::string MailOutcome::Recipient() const {
    const std::string clean = OutcomeAddress(to_);
    // A text that stands in the line unchanged is named as given, else the bare address.
    if (clean == to_ || bare_.empty()) return clean;
    return OutcomeAddress(bare_);
}

void MailOutcome::Fail(FailReason reason, std::string_view detail) {
    if (failed_) return;
    failed_ = true;
    reason_ = reason;
    detail_ = detail;
}

std::string MailOutcome::Line(int exitCode) const {
    if (silent_) return "";
    const std::string to = Recipient();
    const std::string prefix = MAIL_OUTCOME_PREFIX;
    if (exitCode == 0 && !failed_) return prefix + "sent " + to;
    if (!failed_)
        return prefix + "failed " + MailFailReasonName(FailReason::Other) + " " + to +
               " exit status " + std::to_string(exitCode);
    return prefix + "failed " + MailFailReasonName(reason_) + " " + to + " " +
           OutcomeDetail(detail_);
}

void MailOutcome::Print(int exitCode) const {
    const std::string line = Line(exitCode);
    if (line.empty()) return;
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace sendmail

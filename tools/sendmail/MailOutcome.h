// The one line SendMail leaves on standard output for the agent, whatever happened:
//
//   MAIL-OUTCOME sent <to-address>
//   MAIL-OUTCOME failed <reason> <to-address> <detail>
//
// <reason> is the name of a FailReason (never NoOutcome, which is the agent's own); <to-address>
// the TO argument as given (the agent finds its recipient by that text), or its bare address
// when the text holds a blank or a control character; <detail> one line of at most
// MAIL_OUTCOME_DETAIL_MAX bytes without control characters: the SMTP reply or the transport
// error. protocol/MailOutcomeLine.h defines the line for both sides; doc/mail.md documents it
// for the agent's readers.
#pragma once

#include <string>
#include <string_view>

#include "protocol/MailOutcomeLine.h"

namespace sendmail {

// Why a run failed: the outcome line's reasons, as the agent reads them.
using FailReason = MailFailReason;

// `text` as a <detail>: control characters removed, blanks at the ends dropped, cut to at most
// MAIL_OUTCOME_DETAIL_MAX bytes (never inside a UTF-8 character); "-" when nothing is left.
std::string OutcomeDetail(std::string_view text);

// `text` as an <address>: blanks and control characters removed; "-" when nothing is left.
std::string OutcomeAddress(std::string_view text);

// What one run of SendMail ends with. Filled in as the run goes; printed once at the end.
class MailOutcome {
  public:
    // The recipient: the TO argument as given, and its bare address once it is known.
    void SetRecipient(std::string_view to) { to_ = to; }
    void SetBareAddress(std::string_view address) { bare_ = address; }
    // The run failed: `detail` says why (the first failure counts).
    void Fail(FailReason reason, std::string_view detail);
    // A run that sends nothing and reports nothing (--help, --version).
    void Silence() { silent_ = true; }

    // The line for a run that ended with exit status `exitCode` (0 = sent), without its line
    // end; "" for a silenced run. A failing run that named no reason reports `other`.
    std::string Line(int exitCode) const;
    // Writes the line and a line end to standard output, and flushes it.
    void Print(int exitCode) const;

  private:
    // The <to-address> of the line.
    std::string Recipient() const;

    std::string to_;
    std::string bare_;
    bool failed_ = false;
    bool silent_ = false;
    FailReason reason_ = FailReason::Other;
    std::string detail_;
};

}  // namespace sendmail

// What became of each recipient of a mailed event. The mailer prints one outcome line per
// recipient on its standard output (protocol/MailOutcomeLine.h, doc/mail.md).
// The agent runs the mailer script as before but watches it on a thread of its own (never the
// polling thread), logs one line per recipient, counts sent and failed mail, and ends a script
// that runs past MAIL_SCRIPT_BOUND_S (its recipients without an outcome then count as failed,
// reason "timeout"). Where programs cannot be watched (Windows) the script is launched detached
// as before and its outcome is not known.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol/MailOutcomeLine.h"

// A script may take this long. A script that works as it should is done sooner: twelve
// recipients at most (eleven after a start-up, which empties slot 11), each call of the mailer
// ended by its own limit of 120 s for the whole transfer, take at most 1440 s; the last minute is
// for starting the shell and the mailer.
constexpr int MAIL_SCRIPT_BOUND_S = 1500;
// Scripts watched at once at most; beyond, a script is launched detached (outcome unknown).
constexpr int MAIL_WATCHERS_MAX = 32;

struct MailRecipientOutcome {
    std::string address;
    bool sent = false;
    bool known = false;  // a line came for the recipient (or the bound or the end decided)
    std::string reason;  // a MailFailReason's name when it failed
    std::string detail;  // the server's reply or the transport error, one line
};

// The outcomes of one script, filled in by its watcher.
struct MailOutcomes {
    std::vector<MailRecipientOutcome> recipients;  // in slot order
    bool finished = false;                         // the script ended (or was ended)
    bool watched = false;                          // false: launched detached, nothing known
};

// Parses one line of the script's output into `o` (recipient matched by address, first one
// without an outcome). False for lines that are no outcome line.
bool ParseMailOutcomeLine(const std::string& line, std::vector<MailRecipientOutcome>* recipients);

// Mail sent and failed since the start (failed by MailFailReason). Thread-safe.
struct MailOutcomeStats {
    uint64_t sent;
    uint64_t failed[MAIL_FAIL_REASON_COUNT];
};
MailOutcomeStats GetMailOutcomeStats();

// Counts one recipient's outcome (the watcher calls it). Thread-safe.
void CountMailOutcome(const MailRecipientOutcome& o);

// The outcome line: the one line the mailer (SendMail) leaves on its standard output per run,
// and the agent reads back from a mail script's output (doc/mail.md):
//
//   MAIL-OUTCOME sent <address>
//   MAIL-OUTCOME failed <reason> <address> <detail>
//
// <reason> is the name of a MailFailReason; <detail> is one line of at most
// MAIL_OUTCOME_DETAIL_MAX bytes without control characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

// Every outcome line starts with this word and a blank.
constexpr char MAIL_OUTCOME_PREFIX[] = "MAIL-OUTCOME ";

// The longest <detail>, in bytes.
constexpr size_t MAIL_OUTCOME_DETAIL_MAX = 200;

// Why a recipient's mail failed. The mailer names all but NoOutcome; the agent also gives
// Timeout to the recipients of a script it ended at its bound.
enum class MailFailReason : uint8_t {
    Auth,     // the server refused the log-in
    Tls,      // TLS could not be set up, its certificate was refused, or it is required and absent
    Connect,  // the server could not be reached (name unknown, connection refused)
    Timeout,  // the connection or the transfer took longer than allowed
    Refused,  // the server refused the sender, the recipient or the message
    Usage,    // bad arguments or settings: nothing was tried
    Body,     // the body file could not be read
    Other,    // anything else (the server broke the connection, an unexpected reply)
    // The agent's own: the script ended without a line for the recipient (the mailer is missing
    // or crashed).
    NoOutcome,
};

// The reasons' names in the line (and in the metrics' reason label), in the order of
// MailFailReason.
constexpr const char* MAIL_FAIL_REASON_NAMES[] = {
    "auth", "tls", "connect", "timeout", "refused", "usage", "body", "other", "no_outcome"};
constexpr size_t MAIL_FAIL_REASON_COUNT = std::size(MAIL_FAIL_REASON_NAMES);
static_assert(MAIL_FAIL_REASON_COUNT == static_cast<size_t>(MailFailReason::NoOutcome) + 1,
              "one name for each reason");

constexpr const char* MailFailReasonName(MailFailReason r) {
    return MAIL_FAIL_REASON_NAMES[static_cast<size_t>(r)];
}

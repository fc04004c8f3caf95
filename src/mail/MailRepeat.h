// How often one lasting condition is mailed ([mail] repeat). A condition is keyed by the
// controller's serial number, the event class and the object the event names (a disk, an
// array, a fan...): every event of the same key is the same condition going on.
//   always       every event is mailed (the agent's behaviour without a setting)
//   once         the first event of a condition is mailed, later ones are not, until an event
//                says the condition ended (a recovery of the same class and object; a finished
//                rebuild ends the controller's disk and degraded-array conditions)
//   daily        at most one mail per condition per day
//   diminishing  after 1, 2, 4 ... days, at most 32 days apart
// The state lives in ServerDir/mail_repeat.txt (one line per condition: serial, class, object,
// the time of the last mail, the mails so far), replaced whole after every change, so it
// survives a restart. Mails held back are counted and logged once per condition.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/Settings.h"

constexpr const char* MAIL_REPEAT_FILE = "mail_repeat.txt";
// Conditions remembered at most; the oldest are forgotten beyond.
constexpr size_t MAIL_REPEAT_MAX = 4096;

// Sets the policy and loads the state file (a missing or unreadable one: no state). Start-up
// only, after ServerDir is set; tests call it again to start over.
void SetMailRepeatPolicy(MailRepeat policy);

// Decides whether a mailable event of controller `serial`, class `cls` and `object` at `now`
// (seconds since the epoch) is mailed, and records it. A recovery ends its condition, and every
// condition of that controller whose class is in `alsoEnds` (a finished rebuild ends the disk and
// degraded-array conditions); it is mailed only when the caller wants recoveries mailed
// (`wantRecovery`). Thread-safe.
bool MailRepeatAllows(const std::string& serial, int cls, uint16_t object, bool recovery,
                      const std::vector<int>& alsoEnds, bool wantRecovery, int64_t now);

// Mails held back so far. Thread-safe.
uint64_t MailRepeatSuppressed();

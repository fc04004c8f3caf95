// Dispatch of one mail body file to every configured recipient.
#pragma once

#include <cstdint>

// Writes the mailer script for the mail body file `mailFileName` (a bare name in the agent's
// current directory) and starts it detached. `ctlrNo` is used in log lines only. Called from
// the event polling thread only.
void IssueMailOut(uint8_t ctlrNo, const char* mailFileName);

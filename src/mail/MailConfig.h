// Mail recipients and mail server settings.
#pragma once

#include <cstdint>

// Start-up step of the mail subsystem: loads mail.cfg and mailSrv.cfg.
void InitializeSmtp();

// True when mail is on for dispatch: MailEnable reads exactly "TRUE" (case-sensitive). Takes
// the settings lock; thread-safe.
bool MailEnableIsTrue();

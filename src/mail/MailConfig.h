// Mail recipients and mail server settings.
#pragma once

// Start-up step of the mail subsystem: loads mail.cfg and mailSrv.cfg.
void InitializeSmtp();

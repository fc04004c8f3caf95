#include "mail/MailConfig.h"

#include "core/ServerLog.h"

void InitializeSmtp() {
    StdOutMsg("Initialize SMTP\n");
}

bool MailEnableIsTrue() {
    return false;
}

#include "mail/MailDispatch.h"

void IssueMailOut(uint8_t, const char*) {}

#include "app/SubsystemHooks.h"

#include "controller/CtlrHooks.h"
#include "events/EventRecord.h"
#include "mail/MailConfig.h"
#include "mail/MailDispatch.h"

namespace {

const CtlrHooks kCtlrHooks{&ReloadEventBinFile, &FreeEventBinList};
const EventMailCalls kMailCalls{&MailEnableIsTrue, &IssueMailOut};

}  // namespace

void ConnectSubsystems() {
    SetCtlrHooks(&kCtlrHooks);
    SetEventMailCalls(&kMailCalls);
}

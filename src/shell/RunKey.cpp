#include "shell/RunKey.h"

#include "platform/Desktop.h"
#include "platform/HostPaths.h"
#include "platform/StartupReg.h"

namespace {
constexpr const char* RUN_KEY_CAPTION = "Information";

void InfoBox(const char* text) {
    plat::ShowMessageBox(RUN_KEY_CAPTION, text, plat::MsgBoxIcon::Information);
}

// A write or delete that failed is said so: the success box would leave the user believing the
// agent starts (or no longer starts) with the system.
void FailBox(const char* text) {
    plat::ShowMessageBox(RUN_KEY_CAPTION, text, plat::MsgBoxIcon::Warning);
}
}  // namespace

bool RunKeyQuery() {
    if (!plat::StartupKeyOpen()) return false;
    return plat::StartupValueExists(RUN_KEY_VALUE_NAME);
}

bool RunKeyAdd() {
    char exePath[plat::SRV_PATH_MAX];
    if (!plat::GetExecutablePath(exePath, sizeof exePath)) exePath[0] = '\0';
    if (!plat::StartupKeyOpen()) return false;
    if (RunKeyQuery()) {
        InfoBox("Already Added!");
        return true;
    }
    // An unreadable executable path leaves exePath empty: nothing that could start the agent is
    // written.
    if (exePath[0] == '\0' || !plat::StartupValueWrite(RUN_KEY_VALUE_NAME, exePath)) {
        FailBox("RegEdit Add Failed!\n\r");
        return false;
    }
    InfoBox("RegEdit Add Done!\n\r");
    return true;
}

bool RunKeyRemove() {
    if (!plat::StartupKeyOpen()) return false;
    if (RunKeyQuery()) {
        InfoBox("RegEdit Remove Done!\n\r");
        if (!plat::StartupValueDelete(RUN_KEY_VALUE_NAME)) {
            FailBox("RegEdit Remove Failed!\n\r");
            return false;
        }
        return true;
    }
    InfoBox("Already Removed!\n\r");
    return true;
}

#include "shell/RunKey.h"

#include "platform/Desktop.h"
#include "platform/HostPaths.h"
#include "platform/StartupReg.h"

namespace {
void InfoBox(const char* text) {
    plat::ShowMessageBox("Information", text, plat::MsgBoxIcon::Information);
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
    bool written = plat::StartupValueWrite(RUN_KEY_VALUE_NAME, exePath);
    InfoBox("RegEdit Add Done!\n\r");
    return written;
}

bool RunKeyRemove() {
    if (!plat::StartupKeyOpen()) return false;
    if (RunKeyQuery()) {
        InfoBox("RegEdit Remove Done!\n\r");
        return plat::StartupValueDelete(RUN_KEY_VALUE_NAME);
    }
    InfoBox("Already Removed!\n\r");
    return true;
}

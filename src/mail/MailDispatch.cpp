#include "mail/MailDispatch.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "base/FileHandle.h"
#include "base/ServerLog.h"
#include "mail/MailConfig.h"
#include "mail/MailScript.h"
#include "platform/HostPaths.h"
#include "platform/PrivateFile.h"

MailWorkRec MailWorkPool[MAIL_WORK_POOL_SZ];

namespace {

std::mutex g_poolLock;
MailWorkRec* g_poolHead = nullptr;

// A mail body file name must name a file in the current directory, and must not read as an
// option to the script's interpreter.
bool IsBareFileName(const char* name) {
    return name[0] != '\0' && name[0] != '-' && std::strchr(name, '/') == nullptr &&
           std::strchr(name, plat::PathSeparator()) == nullptr;
}

bool PutText(std::FILE* f, const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), f) == text.size();
}

}  // namespace

void InitializeSmtp() {
    StdOutMsg("Initialize SMTP\n");
    InitMailWorkPool();
    LoadMailConfigFiles();
}

void InitMailWorkPool() {
    std::lock_guard<std::mutex> lock(g_poolLock);
    for (size_t i = 0; i < MAIL_WORK_POOL_SZ; ++i) {
        MailWorkPool[i].cSubject[0] = '\0';
        MailWorkPool[i].pNext = i + 1 < MAIL_WORK_POOL_SZ ? &MailWorkPool[i + 1] : nullptr;
    }
    g_poolHead = &MailWorkPool[0];
}

MailWorkRec* TakeMailWorkRec() {
    std::lock_guard<std::mutex> lock(g_poolLock);
    MailWorkRec* rec = g_poolHead;
    if (rec != nullptr) {
        g_poolHead = rec->pNext;
        rec->pNext = nullptr;
    }
    return rec;
}

void PutMailWorkRec(MailWorkRec* rec) {
    if (rec == nullptr) return;
    std::lock_guard<std::mutex> lock(g_poolLock);
    rec->pNext = g_poolHead;
    g_poolHead = rec;
}

size_t CountFreeMailWorkRecs() {
    std::lock_guard<std::mutex> lock(g_poolLock);
    size_t n = 0;
    for (const MailWorkRec* r = g_poolHead; r != nullptr && n <= MAIL_WORK_POOL_SZ; r = r->pNext)
        ++n;
    return n;
}

namespace {
std::atomic<uint64_t> g_scripts{0};
std::atomic<uint64_t> g_scriptFailures{0};
std::atomic<uint64_t> g_notMailed{0};
}  // namespace

MailDispatchStats GetMailDispatchStats() {
    return MailDispatchStats{g_scripts.load(), g_scriptFailures.load(), g_notMailed.load()};
}

void MaskMailPassword(MailSrvSettings& srv) {
    char* pw = srv.MailSrvItem4;
    if (pw[0] == '\0' || std::strcmp(pw, MAIL_NULL_TEXT) == 0) return;
    std::snprintf(pw, sizeof srv.MailSrvItem4, "%s", MAIL_PASSWORD_MASK);
}

void IssueMailOut(uint8_t ctlrNo, const char* mailFileName) {
    const char* name = mailFileName != nullptr ? mailFileName : "";
    MailWorkRec* rec = TakeMailWorkRec();
    if (rec == nullptr) {
        StdOutMsg("ERR: MAIL_ENTRY_EMPTY\n");
        SrvLog("IssueMailOut : MAIL_ENTRY_EMPTY, %s is not mailed.\n", name);
        g_notMailed.fetch_add(1);
        return;
    }
    SrvLog("IssueMailOut : %s.\n", name);

    std::string scriptName = std::string(name) + mail_os::MAIL_SCRIPT_SUFFIX;
    FileHandle script;
    // The script holds the password: only the agent's user may read it.
    if (IsBareFileName(name)) script = FileHandle(plat::OpenPrivateFile(scriptName.c_str()));
    SrvLog("--Create .bat ? pFile_EM =%s \n", script ? "true" : "false");
    if (!script) {
        SrvLog("IssueMailOut : Open %s fail, return.\n", scriptName.c_str());
        g_scriptFailures.fetch_add(1);
        PutMailWorkRec(rec);
        return;
    }

    MailAddrTable addrs;
    MailSrvSettings srv;
    SnapshotMailSettings(&addrs, &srv);
    MailSrvSettings logged = srv;
    MaskMailPassword(logged);

    bool ok = true;
    char folder[plat::SRV_PATH_MAX];
    ProgramFolderText(folder);
    char cwd[plat::SRV_PATH_MAX];
    std::string lastCwd;
    bool haveCwd = false;
    for (const MailAddrSlot& slot : addrs.Slot) {
        if (slot.bValid != 1 || std::strcmp(slot.cMailAddr, MAIL_NULL_TEXT) == 0) continue;
        if (!plat::GetCurrentDir(cwd, sizeof cwd)) {
            StdOutMsg("_getcwd error\n");
            SrvLog("IssueMailOut [%d] : blGetCurDir = FALSE\n", ctlrNo);
            continue;
        }
        StdOutMsg("%s\n", cwd);
        lastCwd = cwd;
        haveCwd = true;
        std::snprintf(rec->cSubject, sizeof rec->cSubject, "%s", MAIL_SUBJECT);
        std::string pathBuf2 =
            mail_os::FormatRecipientLines(folder, srv, slot.cMailAddr, rec->cSubject, cwd, name);
        // The log shows the line with the password masked.
        SrvLog(
            "IssueMailOut [%d] : PathBuf2 = %s", ctlrNo,
            mail_os::FormatRecipientLines(folder, logged, slot.cMailAddr, rec->cSubject, cwd, name)
                .c_str());
        ok = ok && PutText(script.get(), pathBuf2) && PutText(script.get(), "\n");
    }

    // The last line names both files by absolute path; when the directory can no longer be
    // read, the one read for a recipient serves, and with none the names are relative to where
    // the script starts (no "cd" line then moved it).
    if (plat::GetCurrentDir(cwd, sizeof cwd)) {
        lastCwd = cwd;
        haveCwd = true;
    }
    std::string removeLine =
        mail_os::FormatRemoveLine(haveCwd ? lastCwd.c_str() : nullptr, name, scriptName.c_str());
    ok = ok && PutText(script.get(), removeLine);
    ok = std::fflush(script.get()) == 0 && ok;
    ok = script.Close() && ok;
    if (!ok) {
        SrvLog("IssueMailOut : Write %s fail, return.\n", scriptName.c_str());
        g_scriptFailures.fetch_add(1);
        std::remove(scriptName.c_str());
        PutMailWorkRec(rec);
        return;
    }

    plat::ClearLastSysError();
    int launched = mail_os::LaunchMailScript(scriptName.c_str());
    int lastError = plat::LastSysError();
    SrvLog("IssueMailOut : ShellExecute %d, GetLastError() %d .\n", launched, lastError);
    (launched > 32 ? g_scripts : g_scriptFailures).fetch_add(1);
    PutMailWorkRec(rec);
    plat::SleepMs(1000);
}

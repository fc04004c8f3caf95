#include "mail/MailDispatch.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/FileHandle.h"
#include "base/PrintableText.h"
#include "base/ServerLog.h"
#include "mail/MailConfig.h"
#include "mail/MailScript.h"
#include "platform/HostPaths.h"
#include "platform/PrivateFile.h"
#include "platform/Process.h"
#include "platform/Socket.h"
#include "platform/Subprocess.h"
#include "platform/Threads.h"
#include "protocol/SysStatus.h"

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

namespace {

std::atomic<int> g_watchers{0};
std::mutex g_subjectLock;
std::string g_subjectTemplate;  // "" : MAIL_SUBJECT

// A watched script and what its watcher fills in.
struct WatchJob {
    plat::Subprocess proc;
    uint8_t ctlrNo = 0;
    std::string name;
    std::vector<MailRecipientOutcome> outcomes;
    std::shared_ptr<MailWatch> watch;
};

void FinishWatch(const std::shared_ptr<MailWatch>& watch, bool watched,
                 const std::vector<MailRecipientOutcome>* outcomes = nullptr) {
    if (!watch) return;
    std::lock_guard<std::mutex> lock(watch->lock);
    watch->outcomes.watched = watched;
    if (outcomes != nullptr) watch->outcomes.recipients = *outcomes;
    watch->outcomes.finished = true;
    watch->done.notify_all();
}

// The watcher of one script: reads its outcome lines and reaps it, or ends it when it still runs
// at its bound, then logs and counts each recipient.
void WatchMailScript(void* arg) {
    std::unique_ptr<WatchJob> job(static_cast<WatchJob*>(arg));
    const int n = job->ctlrNo;
    const char* name = job->name.c_str();
    const bool ended = job->proc.WatchToEnd(
        MAIL_SCRIPT_BOUND_S * 1000,
        [&](const std::string& l) { ParseMailOutcomeLine(l, &job->outcomes); }, nullptr);
    if (!ended)
        SrvLog("IssueMailOut [%d] : %s ran past %d s, ended.\n", n, name, MAIL_SCRIPT_BOUND_S);
    for (MailRecipientOutcome& o : job->outcomes) {
        if (!o.known) {
            o.known = true;
            o.sent = false;
            o.reason =
                MailFailReasonName(ended ? MailFailReason::NoOutcome : MailFailReason::Timeout);
        }
        if (o.sent)
            SrvLog("IssueMailOut [%d] : %s sent to %s.\n", n, name, o.address.c_str());
        else
            SrvLog("IssueMailOut [%d] : %s to %s failed, %s: %s\n", n, name, o.address.c_str(),
                   o.reason.c_str(), o.detail.c_str());
        CountMailOutcome(o);
    }
    FinishWatch(job->watch, true, &job->outcomes);
    g_watchers.fetch_sub(1);
}

// The subject of one mail: the template with {host} and {serial} filled in, cut to the buffer.
void FormatMailSubject(const char* serial, char (&out)[MAIL_SUBJECT_SIZE]) {
    std::string t;
    {
        std::lock_guard<std::mutex> lock(g_subjectLock);
        t = g_subjectTemplate.empty() ? std::string(MAIL_SUBJECT) : g_subjectTemplate;
    }
    auto fill = [&t](const std::string& field, const std::string& value) {
        for (size_t p = t.find(field); p != std::string::npos; p = t.find(field, p + value.size()))
            t.replace(p, field.size(), value);
    };
    if (t.find("{host}") != std::string::npos) {
        char host[256] = {};
        if (!plat::SockHostName(host, sizeof host)) std::snprintf(host, sizeof host, "?");
        fill("{host}", host);
    }
    fill("{serial}", PrintableText(serial != nullptr ? serial : ""));
    std::snprintf(out, sizeof out, "%s", t.c_str());
}

}  // namespace

void SetMailSubject(const char* subjectTemplate) {
    std::lock_guard<std::mutex> lock(g_subjectLock);
    g_subjectTemplate = subjectTemplate != nullptr ? subjectTemplate : "";
}

void IssueMailOut(uint8_t ctlrNo, const char* mailFileName) {
    DispatchMail(ctlrNo, mailFileName, "", nullptr);
}

void DispatchMail(uint8_t ctlrNo, const char* mailFileName, const char* serial,
                  const std::shared_ptr<MailWatch>& watch) {
    const char* name = mailFileName != nullptr ? mailFileName : "";
    MailWorkRec* rec = TakeMailWorkRec();
    if (rec == nullptr) {
        StdOutMsg("ERR: MAIL_ENTRY_EMPTY\n");
        SrvLog("IssueMailOut : MAIL_ENTRY_EMPTY, %s is not mailed.\n", name);
        g_notMailed.fetch_add(1);
        FinishWatch(watch, false);
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
        FinishWatch(watch, false);
        return;
    }

    MailAddrTable addrs;
    MailSrvSettings srv;
    SnapshotMailSettings(&addrs, &srv);
    MailSrvSettings logged = srv;
    MaskMailPassword(logged);

    bool ok = true;
    std::vector<std::string> recipients;
    char folder[plat::SRV_PATH_MAX];
    ProgramFolderText(folder);
    char cwd[plat::SRV_PATH_MAX];
    std::string lastCwd;
    bool haveCwd = false;
    FormatMailSubject(serial, rec->cSubject);
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
        recipients.push_back(slot.cMailAddr);
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
        FinishWatch(watch, false);
        return;
    }

    // Watched where the host allows (the outcome of every recipient is then known), else
    // launched detached as it always was.
    plat::ClearLastSysError();
    int launched = 0;
    auto job = std::make_unique<WatchJob>();
    bool watched = false;
    if (g_watchers.load() < MAIL_WATCHERS_MAX)
        watched = mail_os::StartWatchedMailScript(scriptName.c_str(), job->proc, &launched);
    if (!watched) launched = mail_os::LaunchMailScript(scriptName.c_str());
    int lastError = plat::LastSysError();
    SrvLog("IssueMailOut : ShellExecute %d, GetLastError() %d .\n", launched, lastError);
    (launched > 32 ? g_scripts : g_scriptFailures).fetch_add(1);
    if (watched && launched > 32) {
        job->ctlrNo = ctlrNo;
        job->name = name;
        for (const std::string& a : recipients) {
            MailRecipientOutcome o;
            o.address = a;
            job->outcomes.push_back(std::move(o));
        }
        job->watch = watch;
        if (watch) {
            // The waiter knows the recipients at once, their outcomes when the script ends.
            std::lock_guard<std::mutex> lock(watch->lock);
            watch->outcomes.recipients = job->outcomes;
            watch->outcomes.watched = true;
        }
        g_watchers.fetch_add(1);
        WatchJob* raw = job.release();
        if (!plat::StartDetachedThread(&WatchMailScript, raw)) {
            // No thread to watch it: the script runs on, unwatched.
            g_watchers.fetch_sub(1);
            raw->proc.Detach();
            FinishWatch(raw->watch, false);
            delete raw;
        }
    } else {
        FinishWatch(watch, false);
    }
    PutMailWorkRec(rec);
    plat::SleepMs(1000);
}

uint8_t SendTestMail(int waitS, std::vector<MailRecipientOutcome>* out) {
    static std::mutex rateLock;
    static std::chrono::steady_clock::time_point last{};
    static bool sentOnce = false;
    {
        std::lock_guard<std::mutex> lock(rateLock);
        const auto now = std::chrono::steady_clock::now();
        if (sentOnce && now - last < std::chrono::seconds(MAIL_TEST_INTERVAL_S))
            return SYSFAIL_MAIL_TEST_BUSY;
        last = now;
        sentOnce = true;
    }
    static std::atomic<unsigned> number{0};
    char name[64];
    std::snprintf(name, sizeof name, "test_mail_%u", number.fetch_add(1) % 1000 + 1);
    char host[256] = {};
    if (!plat::SockHostName(host, sizeof host)) std::snprintf(host, sizeof host, "?");
    {
        FileHandle f(plat::OpenPrivateFile(name));
        if (!f) {
            SrvLog("SendTestMail : Create mail file : %s fail.\n", name);
            return SYSFAIL_MAIL_TEST_FAIL;
        }
        const bool ok = std::fprintf(f.get(),
                                     "\nThis is a test message from the RAID controller "
                                     "management agent on %s.\nMail from it reaches you.\n\n",
                                     host) > 0;
        if (!f.Close() || !ok) {
            SrvLog("SendTestMail : Write %s fail.\n", name);
            std::remove(name);
            return SYSFAIL_MAIL_TEST_FAIL;
        }
    }
    SrvLog("SendTestMail : %s.\n", name);
    auto watch = std::make_shared<MailWatch>();
    DispatchMail(MAIL_TEST_CTLR, name, "test", watch);
    std::unique_lock<std::mutex> lock(watch->lock);
    watch->done.wait_for(lock, std::chrono::seconds(waitS),
                         [&] { return watch->outcomes.finished; });
    // Not started, or started where scripts are not watched: no outcome can be told.
    if (watch->outcomes.finished && !watch->outcomes.watched) return SYSFAIL_MAIL_TEST_FAIL;
    *out = watch->outcomes.recipients;
    for (MailRecipientOutcome& o : *out)
        if (!o.known) {
            o.known = true;
            o.reason = MailFailReasonName(MailFailReason::Timeout);
        }
    return SYS_SUCCESS;
}

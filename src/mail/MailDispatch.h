// Dispatch of one mail body file to every configured recipient, through a generated script that
// runs the SendMail mailer (beside the agent, in ServerDir) once per recipient.
//
// On POSIX the script is "<cwd>/<mailfile>.sh", run as "/bin/sh <mailfile>.sh" in the agent's
// current directory, and holds for each mailed recipient, in slot order:
//   cd '<ServerDir>'
//   ./SendMail '<I1>' '<I2>' '<address>' 'Tavenu RAID Manager Event Notification' '<I3>' '<I4>'
//   '<cwd>/<mailfile>'                                  (all on the SendMail line)
//   (an empty line)
// and as its last line:
//   rm -f -- '<cwd>/<mailfile>' '<cwd>/<mailfile>.sh'
// Every argument is single-quoted, a quote inside becoming '\'' , so no setting can ever reach
// the shell as a command, and an empty item stays one empty argument.
#pragma once

#include <cstddef>
#include <cstdint>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "mail/MailConfig.h"
#include "mail/MailOutcome.h"

// What the log shows in place of the SMTP password.
constexpr char MAIL_PASSWORD_MASK[] = "********";

// Records of the dispatch work pool.
constexpr size_t MAIL_WORK_POOL_SZ = 120;
constexpr size_t MAIL_SUBJECT_SIZE = 128;

// The subject given to the mailer (the script quotes it as one argument).
constexpr char MAIL_SUBJECT[] = "Tavenu RAID Manager Event Notification";

// The work record of one dispatch.
struct MailWorkRec {
    char cSubject[MAIL_SUBJECT_SIZE];  // the subject of the dispatch in progress, NUL-terminated
    MailWorkRec* pNext;                // the next free record
};

// The pool: MAIL_WORK_POOL_SZ records on a singly linked free list (last in, first out).
extern MailWorkRec MailWorkPool[MAIL_WORK_POOL_SZ];

// Links every record of MailWorkPool into the free list in array order (record 0 at the head).
// Called once by InitializeSmtp, before any dispatch.
void InitMailWorkPool();

// The mail subsystem's start-up, before any dispatch: writes "Initialize SMTP\n" to standard
// output, InitMailWorkPool, then loads the mail settings (LoadMailConfigFiles).
void InitializeSmtp();

// Takes the head record off the free list; null when the list is empty. Thread-safe.
MailWorkRec* TakeMailWorkRec();
// Puts a record taken with TakeMailWorkRec back at the head of the free list. Thread-safe.
void PutMailWorkRec(MailWorkRec* rec);
// The number of records on the free list. Thread-safe.
size_t CountFreeMailWorkRecs();

// Writes the mailer script for the mail body file `mailFileName` (a bare file name in the
// agent's current directory, already written and closed) and starts it detached, then pauses
// one second. `ctlrNo` is used in log lines only. The settings are read as one consistent copy
// (SnapshotMailSettings). Recipients whose slot is empty or holds exactly "NULL" are skipped.
//
// Failures, each logged, after which nothing is launched and there is no pause: no free work
// record ("ERR: MAIL_ENTRY_EMPTY\n" on standard output); a name that is empty, holds a '/' or
// begins with '-', or a script that cannot be created or written completely (the partial script
// is removed; the body file stays). A launch failure is only logged; the pause is still made.
// A recipient is left out when the current directory cannot be read for it.
//
// Called from the event polling thread; safe from any thread.
void IssueMailOut(uint8_t ctlrNo, const char* mailFileName);

// Dispatches since the start: scripts started, scripts that could not be written or started,
// and mail bodies not mailed for want of a work record. Thread-safe.
struct MailDispatchStats {
    uint64_t scripts;
    uint64_t scriptFailures;
    uint64_t notMailed;
};
MailDispatchStats GetMailDispatchStats();

// The subject of every mail from now on: `subjectTemplate` with "{host}" replaced by the host's
// name and "{serial}" by the controller's serial number; null or "" gives MAIL_SUBJECT. Set at
// start-up ([mail] subject). Thread-safe.
void SetMailSubject(const char* subjectTemplate);

// Where a caller waits for the outcomes of one dispatch.
struct MailWatch {
    std::mutex lock;
    std::condition_variable done;
    MailOutcomes outcomes;  // filled in, and `finished` set, when the dispatch is over
};

// IssueMailOut with the controller's serial number for the subject, and, when `watch` is given,
// the outcomes reported into it once the script has ended (or at once when it could not be
// started or watched: `finished` set, `watched` false).
void DispatchMail(uint8_t ctlrNo, const char* mailFileName, const char* serial,
                  const std::shared_ptr<MailWatch>& watch);

// A test message to every configured recipient, through the very same path as an event's mail
// (body file, script, mailer), whatever the mail switch says; waits at most `waitS` for the
// outcomes. At most one test mail per MAIL_TEST_INTERVAL_S. Returns SYS_SUCCESS with the
// outcomes in *out (empty when no recipient is configured; recipients without an outcome by
// then are failed "timeout"), SYSFAIL_MAIL_TEST_BUSY when the last test mail is too recent, or
// SYSFAIL_MAIL_TEST_FAIL when the body file cannot be written or the script not started.
constexpr int MAIL_TEST_INTERVAL_S = 10;
constexpr uint8_t MAIL_TEST_CTLR = 255;  // the controller number its log lines show
uint8_t SendTestMail(int waitS, std::vector<MailRecipientOutcome>* out);

// Replaces the password (item 4) of `srv` with MAIL_PASSWORD_MASK, unless it is empty or "NULL",
// for the log's copy of a script line.
void MaskMailPassword(MailSrvSettings& srv);

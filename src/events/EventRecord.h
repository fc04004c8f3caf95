// Event history and event files.
//
// Every event the polling thread fetches is recorded by RecEventToFile: as a line of the
// controller's in-memory history (its EventBinList), as lines of two per-controller logs in the
// current directory, and, for the events to be mailed while mail is on, as a mail body file that
// is handed to IssueMailOut. The history survives restarts through one history file per
// controller in ServerDir, read and rewritten at start-up; every EVENT_BIN_LIST_MAX lines are
// packed into a time-stamped "event_bak_" file. doc/event-files.md describes every file.
//
// Files (SN = the controller's serial number as MakeEventFileSn makes it safe for a name):
//   ServerDir/event_bin_SN.txt                 the lines not yet packed, oldest first: rewritten
//                                              by each load, appended by each event, emptied
//                                              after each pack
//   ServerDir/event_bak_SN_<stamp>.txt         the packs, EVENT_BIN_LIST_MAX lines each
//   ServerDir/event_bin_SN.txt.tmp             the history's rewrite while it is being written
//   ./event_bin_SN                             per event: date, time, serial, 64 hex digits
//   ./event_SN                                 per event: date, time, serial, the event text
//   ./event_SN_<m>                             the mail body of one mailed event, m 1 to 1000
// "./" is the process's current working directory.
//
// Locking. Each list has its own lock, EventBinList::mLock, guarding its four fields and its
// lines; the functions here take it themselves. Each controller also has a history-file lock
// that orders the append, pack, reset, rewrite and load of that controller's files (it is taken
// before a list lock, never while one is held). A pack and a rewrite hold the list lock while
// they write their file, so a reader of that list may wait for one file write. The controller table
// lock is taken only to copy an entry (SnapshotCtlrEntry) and never held with any lock of this
// file: callers must not hold CtlrTableLock() when they call in here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string_view>

#include "controller/CtlrDefs.h"
#include "events/EventClass.h"
#include "events/EventDefs.h"
#include "platform/HostPaths.h"

// One recorded line, a heap node created only by AddEventBinLine and released only by
// AddEventBinLine (the oldest line of a full list), FreeEventBinList and the load.
struct EventBinLine {
    char cText[EVENT_BIN_LINE_MAX];  // NUL-terminated; every byte after the text is 0
    EventBinLine* pNext;             // the next newer line, or none for the newest
    EventBinLine* pPrev;             // the next older line, or none for the oldest
};

// The event history of one controller: a doubly linked list of at most EVENT_BIN_LIST_MAX lines,
// from pFirst (oldest) through pNext to pLast (newest). Read the fields only under mLock.
struct EventBinList {
    uint32_t lCount = 0;             // lines held, 0 to EVENT_BIN_LIST_MAX
    EventBinLine* pFirst = nullptr;  // the oldest line
    EventBinLine* pLast = nullptr;   // the newest line
    uint32_t lPending = 0;           // lines added since the last pack (the newest of the list)
    std::mutex mLock;                // guards the fields above and the lines
};

// The list of controller ctlrNo (0 to 15); none for 16 or more.
EventBinList* GetEventBinList(uint8_t ctlrNo);

// Appends one line to `list` as its newest. With `withHex` the text is text1, text2 and the 32
// bytes of *event as 64 lowercase hex digits ("%02x" each); without it the text is text1 alone (a
// loaded line) and text2 and event are ignored. The text is cut at EVENT_BIN_LINE_MAX - 1
// characters. lPending grows by one; while the list holds fewer than EVENT_BIN_LIST_MAX lines so
// does lCount, otherwise the oldest line is released and lCount stays. Returns false when no
// memory was left for the line (nothing is then added). Takes the list's lock.
bool AddEventBinLine(EventBinList& list, const CtlrEvent* event, const char* text1,
                     const char* text2, bool withHex);

// Releases every line of controller ctlrNo's list: lCount becomes 0, pFirst and pLast none;
// lPending keeps its value. Nothing happens for an empty list or ctlrNo of 16 or more.
// Thread-safe.
void FreeEventBinList(uint8_t ctlrNo);

// Appends the list's lPending newest lines (never more than it holds), oldest first, each
// followed by "\n", to
// ServerDir/event_bak_SN_<stamp>.txt, flushes the file to disk and sets lPending to 0. Returns
// true when they were written (or there was nothing to write); false, with lPending unchanged,
// when the entry isn't alive or the file can't be opened or written (a partly written pack may
// then remain). Logs nothing. Thread-safe.
bool PackEventBinIntoFile(uint8_t ctlrNo);

// Empties ServerDir/event_bin_SN.txt (creating it when missing) when the entry is alive. Returns
// false when the entry isn't alive or the file can't be emptied; logs nothing. Thread-safe.
bool ResetEventBinFile(uint8_t ctlrNo);

// Rewrites ServerDir/event_bin_SN.txt with the lines the list holds, oldest first, each followed
// by "\n", when the entry is alive. The lines go to ServerDir/event_bin_SN.txt.tmp first, which
// is flushed to disk and then put in the history file's place in one step, so the history file
// is always either the old one or the new one, whole. Returns true when the new file is in
// place; on any failure (no entry, temporary file not creatable, a write, the flush, the close
// or the replacement failed) removes the temporary file it created, leaves the old history file
// as it was and returns false. Logs nothing. Thread-safe.
bool SaveEventBinFile(uint8_t ctlrNo);

// Start-up load: ReloadEventBinFile for every controller number 0 to 14. Runs on the start-up
// thread before the polling thread starts.
void LoadEventBinFiles();

// Loads controller ctlrNo's history: empties its list (releasing its lines, lPending 0); when the
// entry is alive and ServerDir/event_bin_SN.txt can be read, adds each white-space separated word
// of fewer than EVENT_BIN_LINE_MAX characters as a line (longer words are skipped, and so are
// words that begin with a NUL byte, whose text is empty); each time the list reaches
// EVENT_BIN_LIST_MAX lines it packs them, releases them and pauses EVENT_PACK_PAUSE_MS. At the
// end it rewrites the history file with the lines held (SaveEventBinFile). A missing file is
// skipped silently and not created. When a pack fails the load stops there, keeping the lines it
// holds, and leaves the history file untouched (logged
// "LoadEventBinFiles (%02d) PackEventBinIntoFile fail, history file kept.\n"); a read error
// likewise ("LoadEventBinFiles (%02d) Read %s fail, history file kept.\n"). Thread-safe; holds
// the history-file lock of that controller for the whole load. Must not be called with
// CtlrTableLock() held. After a load so cut short, later packs no longer empty the history file
// (it holds lines that were never packed) until a load reads it whole.
void ReloadEventBinFile(uint8_t ctlrNo);

// The current local date as MM/DD/YY and time as HH:MM:SS (24-hour), 8 characters each.
void GetDateTimeText(char (&date)[EVENT_DATE_TEXT_SIZE], char (&time)[EVENT_TIME_TEXT_SIZE]);
// The same texts for the local time `t`.
void FormatDateTimeText(const plat::LocalTime& t, char (&date)[EVENT_DATE_TEXT_SIZE],
                        char (&time)[EVENT_TIME_TEXT_SIZE]);

// The stamp of an "event_bak_" file name for the local time `t`: year, month, day of the year
// (1 to 366), hour, minute and second as decimal numbers without leading zeros joined by "_"
// (7 December 2026, 14:05:09 gives "2026_12_341_14_5_9").
constexpr size_t EVENT_BAK_STAMP_SIZE = 80;
void FormatEventBakStamp(const plat::LocalTime& t, char (&stamp)[EVENT_BAK_STAMP_SIZE]);

// The serial number `sn` (at most CTLR_SN_SIZE - 1 characters are read) as it stands in file
// names: every control character (below 0x20, and 0x7F) and every '/', '\\', ':', '*', '?', '"',
// '<', '>', '|' becomes '_'; a text of dots only ("." or "..") becomes as many '_'; an empty text
// becomes "NO_SN". Any other serial number is unchanged.
void MakeEventFileSn(const char* sn, char (&out)[CTLR_SN_SIZE]);

// The history step of RecEventToFile: adds the line prefix + serialPart + hex of `event` to
// controller ctlrNo's list and appends it to ServerDir/event_bin_SN.txt when the entry is alive
// (a failed append is logged "FillEventBinMsg (%02d) Append %s fail.\n" and the line stays in
// the list), so that a restart loads every line recorded since the last pack; when lPending has
// reached EVENT_BIN_LIST_MAX, logs
// "FillEventBinMsg (%02d) PackEventBinIntoFile.\n", packs, and when the pack succeeded logs
// "FillEventBinMsg (%02d) ResetEventBinFile.\n" and empties the history file (unless the last
// load was cut short, see ReloadEventBinFile). A failed pack leaves the history file and lPending
// as they are, so the next event tries again.
void FillEventBinMsg(uint8_t ctlrNo, const CtlrEvent& event, const char* prefix,
                     const char* serialPart);

// Records one event of controller ctlrNo (0 to 15; others are ignored): the history line
// (FillEventBinMsg), then appends to ./event_bin_SN and ./event_SN, and, when the event is to be
// mailed and the mail calls say mail is on, writes ./event_SN_<m> and calls IssueMailOut with that
// name. A log or mail file that can't be opened is logged ("Open %s fail.\n", "RecEventToFile :
// Create mail file : %s fail.\n") and ends the call for this event; a failed write or close is
// logged "RecEventToFile : Write %s fail.\n" and ends it too (a mail file so left is removed, never
// mailed). Called by the polling thread only. A mailed event usually takes about a second
// (IssueMailOut pauses).
void RecEventToFile(uint8_t ctlrNo, const CtlrEventRec& rec);

// Reading a list safely. Calls visit(i, text) for the newest line (i = 0) and then each older
// one, at most maxLines lines in all, while holding the list's lock; `text` is the line's whole
// buffer (NUL-terminated, zero after the text). Returns the number of lines visited (0 for
// ctlrNo of 16 or more). The visitor must be quick and must not call any function of this file.
using EventBinLineVisitor =
    std::function<void(uint32_t index, const char (&text)[EVENT_BIN_LINE_MAX])>;
uint32_t VisitEventBinLines(uint8_t ctlrNo, uint32_t maxLines, const EventBinLineVisitor& visit);

// lCount and lPending of controller ctlrNo's list, read together under its lock (zero for 16 or
// more).
struct EventBinCounts {
    uint32_t lCount;
    uint32_t lPending;
};
EventBinCounts GetEventBinCounts(uint8_t ctlrNo);

// One recorded event as RecEventToFile tells the mail calls of it: what it has made of the
// event already. Valid for the call only.
struct RecordedEvent {
    uint8_t ctlrNo;
    const char* serial;    // the controller's serial number as its entry holds it
    std::string_view hex;  // the 32 event bytes as 64 lowercase hex digits
    const char* text;      // the event's text, as the text log holds it
    EventKind kind;        // ClassifyEvent of the event
    bool mailed;           // the event tables' word: an event to be mailed
};

// The mail calls of RecEventToFile: the program connects the mail subsystem's MailEnableIsTrue
// and a dispatch at start-up (app/SubsystemHooks); tests put their own. nullptr: no mail calls,
// nothing is mailed. `calls` must outlive its use. Set it before the polling thread records
// events.
struct EventMailCalls {
    bool (*pMailEnableIsTrue)();
    // The dispatch of the mail body file `mailFileName` written for event `e`.
    void (*pIssueMailOut)(const RecordedEvent& e, const char* mailFileName);
    // Optional: whether an event is mailed after all (mail being on); `e.mailed` is the event
    // tables' word, the program adds recoveries and the repeat policy. Null: the tables decide.
    bool (*pShouldMail)(const RecordedEvent& e) = nullptr;
    // Optional: told of every recorded event once its logs are written (the event hook); must
    // not block. Null: nobody.
    void (*pEventRecorded)(const RecordedEvent& e) = nullptr;
};
void SetEventMailCalls(const EventMailCalls* calls);

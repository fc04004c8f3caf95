#include "events/EventRecord.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <random>

#include "base/FileHandle.h"
#include "base/FileWord.h"
#include "base/ServerLog.h"
#include "controller/CtlrTable.h"
#include "events/EventText.h"
#include "platform/FileSync.h"
#include "platform/PrivateFile.h"

namespace {

EventBinList g_eventBinLists[EVENT_BIN_LIST_SLOTS];

// Orders the pack, reset, rewrite and load of each controller's history files.
std::mutex g_historyFileLocks[EVENT_BIN_LIST_SLOTS];
// Set when a load was cut short, or when the list dropped a line that no pack holds: the history
// file then holds lines that are neither in the list nor packed, so the packs must not empty it
// until a later load has read it whole. Guarded by the controller's history-file lock.
bool g_historyFileKept[EVENT_BIN_LIST_SLOTS];

// Without mail calls nothing is mailed.
const EventMailCalls kNoMailCalls{nullptr, nullptr};
std::atomic<const EventMailCalls*> g_mailCalls{nullptr};

const EventMailCalls& MailCalls() {
    const EventMailCalls* calls = g_mailCalls.load();
    return calls != nullptr ? *calls : kNoMailCalls;
}

// File names are small: a prefix, a serial number of at most 19 characters, a stamp or number.
constexpr size_t EVENT_FILE_NAME_MAX = 160;

// What the event files need of a controller entry, copied under the table lock.
struct CtlrNames {
    bool blAlive;
    char cSn[CTLR_SN_SIZE];      // the serial number as it stands in the entry
    char cFileSn[CTLR_SN_SIZE];  // the same, made safe for file names
};

CtlrNames GetCtlrNames(uint8_t n) {
    const CtlrEntry e = SnapshotCtlrEntry(n);
    CtlrNames c{};
    c.blAlive = e.bState == CTLR_STATUS_ALIVE;
    std::memcpy(c.cSn, e.cCtrlSN, CTLR_SN_SIZE);
    c.cSn[CTLR_SN_SIZE - 1] = '\0';
    MakeEventFileSn(c.cSn, c.cFileSn);
    return c;
}

// ServerDir/event_bin_SN.txt (with `suffix` appended); false when the path doesn't fit.
bool HistoryFilePath(const CtlrNames& c, const char* suffix, char (&path)[plat::SRV_PATH_MAX]) {
    char name[EVENT_FILE_NAME_MAX];
    std::snprintf(name, sizeof name, "event_bin_%s.txt%s", c.cFileSn, suffix);
    return ServerDirPath(path, sizeof path, name);
}

// Appends `s` to the text of `len` characters in buf (capacity cap), cutting at cap - 1.
void AppendText(char* buf, size_t cap, size_t& len, const char* s) {
    if (s == nullptr) return;
    while (*s != '\0' && len + 1 < cap)
        buf[len++] = *s++;
    buf[len] = '\0';
}

// Appends the 32 event bytes as 64 lowercase hex digits.
void AppendHex(char* buf, size_t cap, size_t& len, const CtlrEvent& e) {
    static const char kDigits[] = "0123456789abcdef";
    for (size_t k = 0; k < EVENT_REC_SIZE; ++k) {
        const char pair[3] = {kDigits[e.Byte(k) >> 4], kDigits[e.Byte(k) & 0xF], '\0'};
        AppendText(buf, cap, len, pair);
    }
}

void ReleaseLines(EventBinLine* line) {
    while (line != nullptr) {
        EventBinLine* next = line->pNext;
        delete line;
        line = next;
    }
}

// Links `line` as the newest; returns the line dropped to make room (to be released by the
// caller after unlocking), or none. The caller holds list.mLock.
EventBinLine* LinkNewestLocked(EventBinList& list, EventBinLine* line) {
    line->pNext = nullptr;
    line->pPrev = list.pLast;
    if (list.pFirst == nullptr) {
        list.pFirst = line;
    } else {
        list.pLast->pNext = line;
    }
    list.pLast = line;
    // The count of unpacked lines keeps running when the list is full, so that the lines go to a
    // pack every EVENT_BIN_LIST_MAX lines and the history file never grows past that.
    if (list.lPending < UINT32_MAX) ++list.lPending;
    if (list.lCount < EVENT_BIN_LIST_MAX) {
        ++list.lCount;
        return nullptr;
    }
    EventBinLine* oldest = list.pFirst;
    list.pFirst = oldest->pNext;
    list.pFirst->pPrev = nullptr;
    oldest->pNext = nullptr;
    return oldest;
}

// Unlinks every line; returns the chain (to be released after unlocking). The caller holds
// list.mLock.
EventBinLine* UnlinkAllLocked(EventBinList& list) {
    EventBinLine* lines = list.pFirst;
    list.pFirst = nullptr;
    list.pLast = nullptr;
    list.lCount = 0;
    return lines;
}

// Writes the newest `limit` lines (all of them when it holds no more), oldest first, each with
// "\n"; false when a write failed.
bool WriteLinesLocked(const EventBinList& list, uint32_t limit, std::FILE* f) {
    const EventBinLine* first = list.pFirst;
    for (uint32_t skip = list.lCount > limit ? list.lCount - limit : 0;
         skip > 0 && first != nullptr; --skip)
        first = first->pNext;
    for (const EventBinLine* line = first; line != nullptr; line = line->pNext) {
        if (std::fputs(line->cText, f) < 0 || std::fputc('\n', f) == EOF) return false;
    }
    return true;
}

// The three file steps and the load, with the controller's history-file lock held by the caller.

bool PackLocked(uint8_t n) {
    const CtlrNames c = GetCtlrNames(n);
    if (!c.blAlive) return false;
    char stamp[EVENT_BAK_STAMP_SIZE];
    FormatEventBakStamp(plat::GetLocalTime(), stamp);
    char name[EVENT_FILE_NAME_MAX];
    std::snprintf(name, sizeof name, "event_bak_%s_%s.txt", c.cFileSn, stamp);
    char path[plat::SRV_PATH_MAX];
    if (!ServerDirPath(path, sizeof path, name)) return false;

    EventBinList& list = g_eventBinLists[n];
    std::lock_guard<std::mutex> lock(list.mLock);
    // The pending lines are the newest; after a release the list may hold fewer lines than are
    // pending: write what it holds.
    const uint32_t lines = list.lPending < list.lCount ? list.lPending : list.lCount;
    if (lines == 0) {
        list.lPending = 0;
        return true;
    }
    FileHandle f(path, "a");
    if (!f) return false;
    bool ok = WriteLinesLocked(list, lines, f.get());
    ok = ok && plat::SyncFile(f.get());
    ok = f.Close() && ok;
    if (!ok) return false;
    list.lPending = 0;
    return true;
}

bool ResetLocked(uint8_t n) {
    const CtlrNames c = GetCtlrNames(n);
    if (!c.blAlive) return false;
    char path[plat::SRV_PATH_MAX];
    if (!HistoryFilePath(c, "", path)) return false;
    FileHandle f(path, "w");
    if (!f) return false;
    return f.Close();
}

bool SaveLocked(uint8_t n) {
    const CtlrNames c = GetCtlrNames(n);
    if (!c.blAlive) return false;
    char path[plat::SRV_PATH_MAX];
    if (!HistoryFilePath(c, "", path)) return false;

    // Through event_bin_SN.txt.tmp, on the disk before it replaces the history.
    EventBinList& list = g_eventBinLists[n];
    std::lock_guard<std::mutex> lock(list.mLock);
    return plat::WriteFileAtomically(
        path, [&list](std::FILE* f) { return WriteLinesLocked(list, list.lCount, f); },
        plat::Durability::Flush);
}

// Appends one recorded line to ServerDir/event_bin_SN.txt, so that the file holds every line
// not yet packed and a restart loses none. Logs "FillEventBinMsg (%02d) Append %s fail.\n" when
// the line can't be written.
void AppendHistoryLineLocked(uint8_t n, const char* line) {
    const CtlrNames c = GetCtlrNames(n);
    if (!c.blAlive) return;
    char path[plat::SRV_PATH_MAX];
    if (!HistoryFilePath(c, "", path)) return;
    FileHandle f(path, "a");
    bool ok = f && std::fputs(line, f.get()) >= 0 && std::fputc('\n', f.get()) != EOF;
    ok = f.Close() && ok;
    if (!ok) SrvLog("FillEventBinMsg (%02d) Append %s fail.\n", n, path);
}

void LoadLocked(uint8_t n) {
    EventBinList& list = g_eventBinLists[n];
    g_historyFileKept[n] = false;
    // Empty the list; the lines it held are released.
    EventBinLine* old;
    {
        std::lock_guard<std::mutex> lock(list.mLock);
        old = UnlinkAllLocked(list);
        list.lPending = 0;
    }
    ReleaseLines(old);

    const CtlrNames c = GetCtlrNames(n);
    if (!c.blAlive) return;
    char path[plat::SRV_PATH_MAX];
    if (!HistoryFilePath(c, "", path)) return;
    FileHandle f(path, "r");
    if (!f) return;

    char word[EVENT_BIN_LINE_MAX];
    bool tooLong = false;
    bool packFailed = false;
    while (ReadFileWord(f.get(), word, sizeof word, &tooLong)) {
        // A word that begins with a NUL byte reads as empty: no line, as the rewrite could not
        // keep it.
        if (tooLong || word[0] == '\0') continue;
        AddEventBinLine(list, nullptr, word, nullptr, false);
        if (GetEventBinCounts(n).lCount < EVENT_BIN_LIST_MAX) continue;
        if (!PackLocked(n)) {
            packFailed = true;
            break;
        }
        FreeEventBinList(n);
        plat::SleepMs(EVENT_PACK_PAUSE_MS);
    }
    const bool readFailed = std::ferror(f.get()) != 0;
    // Closed before the rewrite, so that the file can be replaced on every host.
    f.Close();
    g_historyFileKept[n] = packFailed || readFailed;
    if (packFailed) {
        SrvLog("LoadEventBinFiles (%02d) PackEventBinIntoFile fail, history file kept.\n", n);
        return;
    }
    if (readFailed) {
        SrvLog("LoadEventBinFiles (%02d) Read %s fail, history file kept.\n", n, path);
        return;
    }
    SaveLocked(n);
}

// Appends the texts to the current-directory file `name`; logs and returns false on failure.
bool AppendEventLog(const char* name, const char* t1, const char* t2, const char* t3) {
    FileHandle f(name, "a");
    if (!f) {
        SrvLog("Open %s fail.\n", name);
        return false;
    }
    bool ok = std::fputs(t1, f.get()) >= 0 && std::fputs(t2, f.get()) >= 0 &&
              std::fputs(t3, f.get()) >= 0;
    ok = f.Close() && ok;
    if (!ok) SrvLog("RecEventToFile : Write %s fail.\n", name);
    return ok;
}

// The number of a mail body file's name: the generator is seeded with the current time in whole
// seconds right before its one number r is drawn; r mod 1000 + 1.
uint32_t DrawMailNumber() {
    std::minstd_rand gen(static_cast<std::minstd_rand::result_type>(plat::NowSeconds()));
    return static_cast<uint32_t>(gen() % EVENT_MAIL_NUM_MAX) + 1;
}

}  // namespace

EventBinList* GetEventBinList(uint8_t ctlrNo) {
    return ctlrNo < EVENT_BIN_LIST_SLOTS ? &g_eventBinLists[ctlrNo] : nullptr;
}

bool AddEventBinLine(EventBinList& list, const CtlrEvent* event, const char* text1,
                     const char* text2, bool withHex) {
    EventBinLine* line = new (std::nothrow) EventBinLine{};
    if (line == nullptr) return false;
    size_t len = 0;
    AppendText(line->cText, sizeof line->cText, len, text1);
    if (withHex) {
        AppendText(line->cText, sizeof line->cText, len, text2);
        if (event != nullptr) AppendHex(line->cText, sizeof line->cText, len, *event);
    }
    EventBinLine* dropped;
    {
        std::lock_guard<std::mutex> lock(list.mLock);
        dropped = LinkNewestLocked(list, line);
    }
    ReleaseLines(dropped);
    return true;
}

void FreeEventBinList(uint8_t ctlrNo) {
    if (ctlrNo >= EVENT_BIN_LIST_SLOTS) return;
    EventBinList& list = g_eventBinLists[ctlrNo];
    EventBinLine* lines;
    {
        std::lock_guard<std::mutex> lock(list.mLock);
        if (list.lCount == 0 || list.pLast == nullptr) return;
        lines = UnlinkAllLocked(list);
    }
    ReleaseLines(lines);
}

bool PackEventBinIntoFile(uint8_t ctlrNo) {
    if (ctlrNo >= EVENT_BIN_LIST_SLOTS) return false;
    std::lock_guard<std::mutex> lock(g_historyFileLocks[ctlrNo]);
    return PackLocked(ctlrNo);
}

bool ResetEventBinFile(uint8_t ctlrNo) {
    if (ctlrNo >= EVENT_BIN_LIST_SLOTS) return false;
    std::lock_guard<std::mutex> lock(g_historyFileLocks[ctlrNo]);
    return ResetLocked(ctlrNo);
}

bool SaveEventBinFile(uint8_t ctlrNo) {
    if (ctlrNo >= EVENT_BIN_LIST_SLOTS) return false;
    std::lock_guard<std::mutex> lock(g_historyFileLocks[ctlrNo]);
    return SaveLocked(ctlrNo);
}

void LoadEventBinFiles() {
    for (uint8_t n = 0; n < MAX_CTLR_NUM; ++n)
        ReloadEventBinFile(n);
}

void ReloadEventBinFile(uint8_t ctlrNo) {
    if (ctlrNo >= EVENT_BIN_LIST_SLOTS) return;
    std::lock_guard<std::mutex> lock(g_historyFileLocks[ctlrNo]);
    LoadLocked(ctlrNo);
}

void FormatDateTimeText(const plat::LocalTime& t, char (&date)[EVENT_DATE_TEXT_SIZE],
                        char (&time)[EVENT_TIME_TEXT_SIZE]) {
    // Each field is two digits; the modulo keeps an odd clock value from widening a field.
    auto two = [](int v) { return static_cast<unsigned>(v < 0 ? -v : v) % 100u; };
    std::snprintf(date, sizeof date, "%02u/%02u/%02u", two(t.month), two(t.day), two(t.year));
    std::snprintf(time, sizeof time, "%02u:%02u:%02u", two(t.hour), two(t.minute), two(t.second));
}

void GetDateTimeText(char (&date)[EVENT_DATE_TEXT_SIZE], char (&time)[EVENT_TIME_TEXT_SIZE]) {
    FormatDateTimeText(plat::GetLocalTime(), date, time);
}

void FormatEventBakStamp(const plat::LocalTime& t, char (&stamp)[EVENT_BAK_STAMP_SIZE]) {
    std::snprintf(stamp, sizeof stamp, "%d_%d_%d_%d_%d_%d", t.year, t.month, t.yday, t.hour,
                  t.minute, t.second);
}

void MakeEventFileSn(const char* sn, char (&out)[CTLR_SN_SIZE]) {
    size_t len = 0;
    bool dotsOnly = true;
    for (; sn != nullptr && len + 1 < CTLR_SN_SIZE && sn[len] != '\0'; ++len) {
        const unsigned char ch = static_cast<unsigned char>(sn[len]);
        const bool unsafe = ch < 0x20 || ch == 0x7F || std::strchr("/\\:*?\"<>|", ch) != nullptr;
        out[len] = unsafe ? '_' : static_cast<char>(ch);
        if (ch != '.') dotsOnly = false;
    }
    out[len] = '\0';
    if (len == 0) {
        std::snprintf(out, sizeof out, "%s", "NO_SN");
    } else if (dotsOnly) {
        std::memset(out, '_', len);
    }
}

void FillEventBinMsg(uint8_t ctlrNo, const CtlrEvent& event, const char* prefix,
                     const char* serialPart) {
    if (ctlrNo >= EVENT_BIN_LIST_SLOTS) return;
    // The line goes to the list and to the end of the history file in one step of the
    // history-file lock, so that a load never runs between the two.
    std::lock_guard<std::mutex> lock(g_historyFileLocks[ctlrNo]);
    // A full list whose lines are all unpacked (a pack failed) drops a line that no pack holds:
    // from then on only the history file has it, so no pack may empty the file until a load has
    // read it whole.
    const EventBinCounts before = GetEventBinCounts(ctlrNo);
    if (before.lCount >= EVENT_BIN_LIST_MAX && before.lPending >= before.lCount)
        g_historyFileKept[ctlrNo] = true;
    if (!AddEventBinLine(g_eventBinLists[ctlrNo], &event, prefix, serialPart, true)) return;
    char line[EVENT_BIN_LINE_MAX];
    size_t len = 0;
    line[0] = '\0';
    AppendText(line, sizeof line, len, prefix);
    AppendText(line, sizeof line, len, serialPart);
    AppendHex(line, sizeof line, len, event);
    AppendHistoryLineLocked(ctlrNo, line);
    if (GetEventBinCounts(ctlrNo).lPending < EVENT_BIN_LIST_MAX) return;
    SrvLog("FillEventBinMsg (%02d) PackEventBinIntoFile.\n", ctlrNo);
    // The history file is emptied only once its lines are safe in the pack.
    if (!PackLocked(ctlrNo)) return;
    // After a load that was cut short the history file holds more than was packed: keep it.
    if (g_historyFileKept[ctlrNo]) return;
    SrvLog("FillEventBinMsg (%02d) ResetEventBinFile.\n", ctlrNo);
    ResetLocked(ctlrNo);
}

void RecEventToFile(uint8_t ctlrNo, const CtlrEventRec& rec) {
    if (ctlrNo >= EVENT_BIN_LIST_SLOTS) return;
    const CtlrEvent& e = rec.event;
    const CtlrNames c = GetCtlrNames(ctlrNo);

    // Date and time, the line prefix and the serial part.
    char date[EVENT_DATE_TEXT_SIZE];
    char time[EVENT_TIME_TEXT_SIZE];
    GetDateTimeText(date, time);
    char prefix[EVENT_DATE_TEXT_SIZE + EVENT_TIME_TEXT_SIZE + 2];
    std::snprintf(prefix, sizeof prefix, "%s-%s\\", date, time);
    char serialPart[CTLR_SN_SIZE + 1];
    std::snprintf(serialPart, sizeof serialPart, "%s\\", c.cSn);

    // The history line.
    FillEventBinMsg(ctlrNo, e, prefix, serialPart);

    // The hex text and the event text.
    char hex[EVENT_HEX_DIGITS + 2];
    size_t hexLen = 0;
    AppendHex(hex, sizeof hex, hexLen, e);
    AppendText(hex, sizeof hex, hexLen, "\n");
    char text[EVENT_TEXT_MAX];
    const bool mailed = EventToText(e, text);

    // The mail body.
    char body[EVENT_MAIL_BODY_MAX];
    std::snprintf(body, sizeof body,
                  "OS Time : %s %s\nSerial No. : %s\n\nEvent (str) : %s\nEvent (bin) : %s\n", date,
                  time, c.cSn, text, hex);

    // The two event logs in the current directory.
    char name[EVENT_FILE_NAME_MAX];
    std::snprintf(name, sizeof name, "event_bin_%s", c.cFileSn);
    if (!AppendEventLog(name, prefix, serialPart, hex)) return;
    std::snprintf(name, sizeof name, "event_%s", c.cFileSn);
    if (!AppendEventLog(name, prefix, serialPart, text)) return;

    // The mail body file and the dispatch.
    const EventMailCalls& calls = MailCalls();
    const RecordedEvent recorded{
        ctlrNo, c.cSn, std::string_view(hex, EVENT_HEX_DIGITS), text, ClassifyEvent(e), mailed};
    if (calls.pEventRecorded != nullptr) calls.pEventRecorded(recorded);
    if (calls.pMailEnableIsTrue == nullptr || calls.pIssueMailOut == nullptr ||
        !calls.pMailEnableIsTrue())
        return;
    // The tables decide, unless the program has its say (recoveries, the repeat policy, which
    // is asked only while mail is on).
    if (!(calls.pShouldMail != nullptr ? calls.pShouldMail(recorded) : mailed)) return;
    std::snprintf(name, sizeof name, "event_%s_%u", c.cFileSn, DrawMailNumber());
    // The mail body goes where the mailer's script is: only the agent's user may read it.
    FileHandle f(plat::OpenPrivateFile(name));
    if (!f) {
        SrvLog("RecEventToFile : Create mail file : %s fail.\n", name);
        return;
    }
    bool ok = std::fputs("\n", f.get()) >= 0 && std::fputs(body, f.get()) >= 0 &&
              std::fputs("\n", f.get()) >= 0;
    ok = f.Close() && ok;
    if (!ok) {
        SrvLog("RecEventToFile : Write %s fail.\n", name);
        std::remove(name);
        return;
    }
    if (calls.pMailEnableIsTrue()) calls.pIssueMailOut(recorded, name);
}

uint32_t VisitEventBinLines(uint8_t ctlrNo, uint32_t maxLines, const EventBinLineVisitor& visit) {
    if (ctlrNo >= EVENT_BIN_LIST_SLOTS) return 0;
    EventBinList& list = g_eventBinLists[ctlrNo];
    std::lock_guard<std::mutex> lock(list.mLock);
    uint32_t i = 0;
    for (const EventBinLine* line = list.pLast; line != nullptr && i < maxLines && i < list.lCount;
         line = line->pPrev, ++i)
        visit(i, line->cText);
    return i;
}

EventBinCounts GetEventBinCounts(uint8_t ctlrNo) {
    if (ctlrNo >= EVENT_BIN_LIST_SLOTS) return {0, 0};
    EventBinList& list = g_eventBinLists[ctlrNo];
    std::lock_guard<std::mutex> lock(list.mLock);
    return {list.lCount, list.lPending};
}

void SetEventMailCalls(const EventMailCalls* calls) {
    g_mailCalls.store(calls);
}

// The event history, the event files and their formats.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "base/ServerLog.h"
#include "controller/CtlrTable.h"
#include "events/EventClass.h"
#include "events/EventRecord.h"
#include "events/EventText.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::SplitLines;
using testing_support::WriteFile;

namespace {

constexpr const char* kSn = "SN0123456789ABCDEFG";

// The fake mail calls: the switch answers from `g_mailAnswers` in turn (the last answer
// repeating), and every dispatch is recorded with the mail file's content at that moment.
std::vector<bool> g_mailAnswers;
size_t g_mailAsked = 0;
struct Dispatch {
    int ctlrNo;
    std::string name;
    std::string content;
};
std::vector<Dispatch> g_dispatches;

bool FakeMailEnable() {
    if (g_mailAnswers.empty()) return false;
    size_t i = std::min(g_mailAsked++, g_mailAnswers.size() - 1);
    return g_mailAnswers[i];
}
void FakeIssueMailOut(const RecordedEvent& e, const char* name) {
    g_dispatches.push_back({e.ctlrNo, name, ReadFile(name)});
}
const EventMailCalls kFakeMail{&FakeMailEnable, &FakeIssueMailOut};

// The program's own calls: its say on mailing answers `g_shouldMail`; both record what they are
// told.
struct Told {
    int ctlrNo;
    std::string serial, hex, text;
    EventClass cls;
    EventSeverity severity;
    bool recovery, mailed;
};
Told Copy(const RecordedEvent& e) {
    return {e.ctlrNo,   e.serial,        std::string(e.hex), e.text,
            e.kind.cls, e.kind.severity, e.kind.recovery,    e.mailed};
}
bool g_shouldMail = false;
std::vector<Told> g_askedToMail, g_recorded;
bool FakeShouldMail(const RecordedEvent& e) {
    g_askedToMail.push_back(Copy(e));
    return g_shouldMail;
}
void FakeRecorded(const RecordedEvent& e) {
    g_recorded.push_back(Copy(e));
}
const EventMailCalls kProgramMail{&FakeMailEnable, &FakeIssueMailOut, &FakeShouldMail,
                                  &FakeRecorded};

void SetCtlr(uint8_t n, const char* sn, bool alive = true) {
    std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
    CtlrEntry& e = GetCtlrEntry(n);
    e = CtlrEntry{};
    e.bState = alive ? CTLR_STATUS_ALIVE : CTLR_STATUS_EMPTY;
    std::snprintf(e.cCtrlSN, sizeof e.cCtrlSN, "%s", sn);
}

CtlrEventRec MakeRec(uint8_t ctlrNo, std::initializer_list<unsigned> head) {
    CtlrEventRec rec{};
    uint8_t b[EVENT_REC_SIZE] = {};
    size_t k = 0;
    for (unsigned v : head)
        b[k++] = static_cast<uint8_t>(v);
    rec.event = CtlrEvent::FromBytes(b);
    rec.bValid = 1;
    rec.bCtlrNo = ctlrNo;
    return rec;
}

// An event numbered i: a LUN change whose bytes 2 to 5 hold i.
CtlrEventRec NumberedRec(uint32_t i) {
    return MakeRec(0, {20, 0, i & 0xFF, (i >> 8) & 0xFF, (i >> 16) & 0xFF, (i >> 24) & 0xFF});
}
// The hex digits of event bytes 2 to 5 of NumberedRec(i), as they stand in a line.
std::string NumberedHex(uint32_t i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02x%02x%02x%02x", i & 0xFF, (i >> 8) & 0xFF, (i >> 16) & 0xFF,
                  (i >> 24) & 0xFF);
    return std::string("1400") + buf;
}

// The list's lines, newest first.
std::vector<std::string> ListLines(uint8_t n) {
    std::vector<std::string> out;
    VisitEventBinLines(n, EVENT_BIN_LIST_MAX, [&](uint32_t, const char(&text)[EVENT_BIN_LINE_MAX]) {
        out.push_back(text);
    });
    return out;
}

std::vector<std::string> FilesStartingWith(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) {
        std::string name = e.path().filename().string();
        if (name.rfind(prefix, 0) == 0) out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

// True when `s` has the shape of `pattern`: '9' stands for a decimal digit, 'h' for a lowercase
// hexadecimal digit, '#' for one or more decimal digits, any other character for itself.
bool Matches(const std::string& s, const std::string& pattern) {
    size_t i = 0;
    for (char p : pattern) {
        auto digit = [&](size_t k) { return k < s.size() && s[k] >= '0' && s[k] <= '9'; };
        if (p == '9') {
            if (!digit(i)) return false;
            ++i;
        } else if (p == 'h') {
            if (i >= s.size() || std::strchr("0123456789abcdef", s[i]) == nullptr || s[i] == 0)
                return false;
            ++i;
        } else if (p == '#') {
            if (!digit(i)) return false;
            while (digit(i))
                ++i;
        } else {
            if (i >= s.size() || s[i] != p) return false;
            ++i;
        }
    }
    return i == s.size();
}

// A recorded line of controller kSn.
bool IsRecordedLine(const std::string& line) {
    return Matches(line, std::string("99/99/99-99:99:99\\") + kSn + "\\" + std::string(64, 'h'));
}

// A temporary ServerDir, a temporary current directory, controller 0 alive as kSn and the fake
// mail calls. Everything is put back at the end.
class EventRecordTest : public ::testing::Test {
  protected:
    void SetUp() override {
        oldCwd_ = fs::current_path();
        fs::current_path(cwd_.path());
        SetCtlr(0, kSn);
        g_mailAnswers.clear();
        g_mailAsked = 0;
        g_dispatches.clear();
        SetEventMailCalls(&kFakeMail);
    }
    void TearDown() override {
        SetEventMailCalls(nullptr);
        for (uint8_t n = 0; n < CTLR_TABLE_SLOTS; ++n) {
            ZeroCtlrEntry(n);
            ReloadEventBinFile(n);  // not alive: empties the list, pending 0
        }
        fs::current_path(oldCwd_);
    }
    // Takes every pack file name of the next minute by a directory, so that packs fail; returns
    // the directories.
    std::vector<std::string> BlockPackNames() const {
        std::vector<std::string> blocks;
        const int64_t now = plat::NowSeconds();
        for (int64_t s = now - 1; s < now + 60; ++s) {
            std::time_t t = static_cast<std::time_t>(s);
            std::tm tm{};
            localtime_r(&t, &tm);
            char name[128];
            std::snprintf(name, sizeof name, "event_bak_%s_%d_%d_%d_%d_%d_%d.txt", kSn,
                          tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_yday + 1, tm.tm_hour, tm.tm_min,
                          tm.tm_sec);
            blocks.push_back(server_.File(name));
            fs::create_directory(blocks.back());
        }
        return blocks;
    }
    std::string History() const { return server_.File(std::string("event_bin_") + kSn + ".txt"); }
    std::string Cwd(const std::string& name) const { return cwd_.File(name); }

    testing_support::ServerDirScope server_;
    testing_support::TempDir cwd_;
    fs::path oldCwd_;
};

TEST(EventDateTime, TextsAndPackStampOfAFixedTime) {
    char date[EVENT_DATE_TEXT_SIZE];
    char time[EVENT_TIME_TEXT_SIZE];
    char stamp[EVENT_BAK_STAMP_SIZE];
    const plat::LocalTime december{2026, 12, 7, 341, 14, 5, 9};
    FormatDateTimeText(december, date, time);
    FormatEventBakStamp(december, stamp);
    EXPECT_STREQ(date, "12/07/26");
    EXPECT_STREQ(time, "14:05:09");
    EXPECT_STREQ(stamp, "2026_12_341_14_5_9");

    const plat::LocalTime january{2005, 1, 2, 2, 0, 0, 0};
    FormatDateTimeText(january, date, time);
    FormatEventBakStamp(january, stamp);
    EXPECT_STREQ(date, "01/02/05");
    EXPECT_STREQ(time, "00:00:00");
    EXPECT_STREQ(stamp, "2005_1_2_0_0_0");

    GetDateTimeText(date, time);
    EXPECT_TRUE(Matches(date, "99/99/99")) << date;
    EXPECT_TRUE(Matches(time, "99:99:99")) << time;
}

TEST(EventFileSn, UnsafeSerialNumbersAreMadeSafeAndOthersKept) {
    struct Case {
        const char* sn;
        const char* name;
    } cases[] = {
        {"SN0123456789ABCDEFG", "SN0123456789ABCDEFG"},
        {"SN 12.x-y_z", "SN 12.x-y_z"},
        {"../../etc/passwd", ".._.._etc_passwd"},
        {"a\\b", "a_b"},
        {"/", "_"},
        {"", "NO_SN"},
        {".", "_"},
        {"..", "__"},
        {"...x", "...x"},
        {"A:B*C?D\"E<F>G|H", "A_B_C_D_E_F_G_H"},
        {"tab\there\nnl\x7f", "tab_here_nl_"},
        {"0123456789012345678901234", "0123456789012345678"},
    };
    for (const Case& c : cases) {
        char out[CTLR_SN_SIZE];
        MakeEventFileSn(c.sn, out);
        EXPECT_STREQ(out, c.name) << "serial '" << c.sn << "'";
    }
}

TEST_F(EventRecordTest, FirstEventAddsTheLineAndAppendsBothLogs) {
    RecEventToFile(0, MakeRec(0, {3, 0, 0, 5, 0, 0, 0, 1, 0xAB}));

    std::vector<std::string> lines = ListLines(0);
    ASSERT_EQ(lines.size(), 1u);
    const std::string line = lines[0];
    ASSERT_TRUE(IsRecordedLine(line)) << line;
    EXPECT_EQ(line.size(), 102u);
    EXPECT_EQ(line.substr(EVENT_BIN_HEX_POS),
              "03000005000000"
              "01ab" +
                  std::string(64 - 18, '0'));
    EXPECT_EQ(GetEventBinCounts(0).lCount, 1u);
    EXPECT_EQ(GetEventBinCounts(0).lPending, 1u);

    // The hex log carries the line itself; the text log the prefix, serial and event text.
    EXPECT_EQ(ReadFile(Cwd(std::string("event_bin_") + kSn)), line + "\n");
    EXPECT_EQ(ReadFile(Cwd(std::string("event_") + kSn)),
              line.substr(0, EVENT_BIN_HEX_POS) + "RAID 0, Disk B5 is Online or Plugin.\n");
    // Not mailed; in ServerDir the line is appended to the history file.
    EXPECT_EQ(FilesStartingWith(cwd_.path(), "event_").size(), 2u);
    EXPECT_EQ(ReadFile(History()), line + "\n");
    EXPECT_EQ(FilesStartingWith(server_.path(), "event_"),
              std::vector<std::string>{std::string("event_bin_") + kSn + ".txt"});
    EXPECT_TRUE(g_dispatches.empty());

    // A second event appends; a multi-line text carries the prefix only on its first line.
    RecEventToFile(0, MakeRec(0, {10, 0, 1, 0x10}));
    lines = ListLines(0);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], line);
    EXPECT_EQ(ReadFile(Cwd(std::string("event_bin_") + kSn)), line + "\n" + lines[0] + "\n");
    EXPECT_EQ(ReadFile(Cwd(std::string("event_") + kSn)),
              line.substr(0, 38) + "RAID 0, Disk B5 is Online or Plugin.\n" +
                  lines[0].substr(0, 38) +
                  "Appear Data Loss in RAID 1.\n.Data Loss Stripe LBA Low: 0x10.\nData Loss "
                  "Stripe LBA High: 0x0.\n");
}

TEST_F(EventRecordTest, MailedEventWritesTheMailBodyFileAndDispatchesItOnce) {
    g_mailAnswers = {true};
    RecEventToFile(0, MakeRec(0, {3, 0, 0, 5, 1, 0, 0, 1}));

    ASSERT_EQ(g_dispatches.size(), 1u);
    const Dispatch& d = g_dispatches[0];
    EXPECT_EQ(d.ctlrNo, 0);
    const std::string mailPrefix = std::string("event_") + kSn + "_";
    ASSERT_TRUE(Matches(d.name, mailPrefix + "#")) << d.name;
    const int number = std::stoi(d.name.substr(mailPrefix.size()));
    EXPECT_GE(number, 1);
    EXPECT_LE(number, 1000);

    const std::string line = ListLines(0).at(0);
    const std::string date = line.substr(0, 8);
    const std::string time = line.substr(9, 8);
    const std::string hex = line.substr(EVENT_BIN_HEX_POS);
    EXPECT_EQ(d.content, "\nOS Time : " + date + " " + time + "\nSerial No. : " + kSn +
                             "\n\nEvent (str) : RAID 0, Disk B5 is Offline or Plugout.\n\n"
                             "Event (bin) : " +
                             hex + "\n\n\n");
    // The mail body file stays for the mailer, in the current directory, for the agent's user
    // alone.
    EXPECT_EQ(ReadFile(Cwd(d.name)), d.content);
    EXPECT_EQ(std::filesystem::status(Cwd(d.name)).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST_F(EventRecordTest, MailFileOnlyForMailedEventsWhileMailIsOn) {
    struct Case {
        const char* name;
        std::initializer_list<unsigned> event;
        std::vector<bool> answers;  // the mail switch, asked in turn
        bool file;                  // a mail body file is written
        bool dispatched;            // IssueMailOut is called
    } cases[] = {
        {"offline, mail on", {3, 0, 0, 5, 1}, {true}, true, true},
        {"offline, mail off", {3, 0, 0, 5, 1}, {false}, false, false},
        {"online, mail on", {3, 0, 0, 5, 0}, {true}, false, false},
        {"degraded, mail on", {21, 0, 1}, {true}, true, true},
        {"healthy disk, mail on", {15, 0, 1, 1}, {true}, false, false},
        {"mail turned off while the file is written", {21, 0, 1}, {true, false}, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string& f : FilesStartingWith(cwd_.path(), "event_"))
            fs::remove(Cwd(f));
        g_mailAnswers = c.answers;
        g_mailAsked = 0;
        g_dispatches.clear();
        RecEventToFile(0, MakeRec(0, c.event));
        const auto files = FilesStartingWith(cwd_.path(), std::string("event_") + kSn + "_");
        EXPECT_EQ(files.size(), c.file ? 1u : 0u);
        EXPECT_EQ(g_dispatches.size(), c.dispatched ? 1u : 0u);
    }
}

// With the program's say (pShouldMail) it decides over the tables' word, and is asked only while
// mail is on; every recorded event is told (pEventRecorded) with what the record made of it.
TEST_F(EventRecordTest, TheProgramsSayDecidesWhatIsMailed) {
    SetEventMailCalls(&kProgramMail);
    struct Case {
        const char* name;
        std::initializer_list<unsigned> event;
        bool mailSwitch;
        bool say;         // what pShouldMail answers
        bool asked;       // pShouldMail is asked
        bool dispatched;  // a mail body file is written and IssueMailOut called
    } cases[] = {
        {"offline, refused", {3, 0, 0, 5, 1, 0, 0, 1}, true, false, true, false},
        {"offline, allowed", {3, 0, 0, 5, 1, 0, 0, 1}, true, true, true, true},
        {"online (not in the tables), allowed", {3, 0, 0, 5, 0, 0, 0, 1}, true, true, true, true},
        {"offline, mail off", {3, 0, 0, 5, 1, 0, 0, 1}, false, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string& f : FilesStartingWith(cwd_.path(), "event_"))
            fs::remove(Cwd(f));
        g_mailAnswers = {c.mailSwitch};
        g_shouldMail = c.say;
        g_askedToMail.clear();
        g_recorded.clear();
        g_dispatches.clear();
        RecEventToFile(0, MakeRec(0, c.event));

        ASSERT_EQ(g_recorded.size(), 1u);
        const Told& t = g_recorded[0];
        EXPECT_EQ(t.ctlrNo, 0);
        EXPECT_EQ(t.serial, kSn);
        EXPECT_EQ(t.hex, ListLines(0).at(0).substr(EVENT_BIN_HEX_POS));
        const bool offline = c.event.begin()[4] == 1;
        EXPECT_EQ(t.text, offline ? "RAID 0, Disk B5 is Offline or Plugout.\n"
                                  : "RAID 0, Disk B5 is Online or Plugin.\n");
        EXPECT_EQ(t.cls, EventClass::Disk);
        EXPECT_EQ(t.severity, offline ? EventSeverity::Critical : EventSeverity::Info);
        EXPECT_EQ(t.recovery, !offline);
        EXPECT_EQ(t.mailed, offline);

        ASSERT_EQ(g_askedToMail.size(), c.asked ? 1u : 0u);
        if (c.asked) {
            EXPECT_EQ(g_askedToMail[0].mailed, offline);
        }
        EXPECT_EQ(FilesStartingWith(cwd_.path(), std::string("event_") + kSn + "_").size(),
                  c.dispatched ? 1u : 0u);
        EXPECT_EQ(g_dispatches.size(), c.dispatched ? 1u : 0u);
    }
}

TEST_F(EventRecordTest, FileThatCannotBeOpenedIsLoggedAndEndsTheEventButTheLineStays) {
    struct Case {
        const char* name;
        std::vector<std::string> blocked;  // names made directories in the current directory
        bool mailBlocked;                  // every mail body file name blocked too
        std::string log;
        bool textLogWritten;
    } cases[] = {
        {"hex log",
         {std::string("event_bin_") + kSn},
         false,
         std::string("Open event_bin_") + kSn + " fail.\n",
         false},
        {"text log",
         {std::string("event_") + kSn},
         false,
         std::string("Open event_") + kSn + " fail.\n",
         false},
        {"mail file",
         {},
         true,
         std::string("RecEventToFile : Create mail file : event_") + kSn + "_",
         true},
    };
    uint32_t expectLines = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string& f : FilesStartingWith(cwd_.path(), "event_"))
            fs::remove_all(Cwd(f));
        std::remove(server_.File("ServerLog.txt").c_str());
        for (const std::string& b : c.blocked)
            fs::create_directory(Cwd(b));
        if (c.mailBlocked)
            for (int m = 1; m <= 1000; ++m)
                fs::create_directory(Cwd(std::string("event_") + kSn + "_" + std::to_string(m)));
        g_mailAnswers = {true};
        g_dispatches.clear();

        RecEventToFile(0, MakeRec(0, {21, 0, 1}));

        EXPECT_EQ(GetEventBinCounts(0).lCount, ++expectLines);
        const std::string log = server_.Log();
        EXPECT_EQ(log.rfind(c.log, 0), 0u) << log;
        EXPECT_EQ(Occurrences(log, "\n"), 1u) << log;
        EXPECT_EQ(fs::is_regular_file(Cwd(std::string("event_") + kSn)), c.textLogWritten);
        EXPECT_TRUE(g_dispatches.empty());
    }
}

TEST_F(EventRecordTest, The1023rdEventPacksTheHistoryAndTheNextPacksNothing) {
    ASSERT_TRUE(WriteFile(History(), "older\nlines\n"));
    for (uint32_t i = 1; i <= 1022; ++i)
        RecEventToFile(0, NumberedRec(i));
    EXPECT_TRUE(FilesStartingWith(server_.path(), "event_bak_").empty());
    EXPECT_EQ(GetEventBinCounts(0).lPending, 1022u);

    RecEventToFile(0, NumberedRec(1023));
    auto baks = FilesStartingWith(server_.path(), "event_bak_");
    ASSERT_EQ(baks.size(), 1u);
    EXPECT_TRUE(Matches(baks[0], std::string("event_bak_") + kSn + "_9999_#_#_#_#_#.txt"))
        << baks[0];
    const auto packed = SplitLines(ReadFile(server_.File(baks[0])));
    ASSERT_EQ(packed.size(), 1023u);
    for (uint32_t i = 1; i <= 1023; ++i) {
        ASSERT_TRUE(IsRecordedLine(packed[i - 1])) << packed[i - 1];
        ASSERT_EQ(packed[i - 1].substr(EVENT_BIN_HEX_POS, 12), NumberedHex(i));
    }
    const std::string log = server_.Log();
    EXPECT_EQ(log,
              "FillEventBinMsg (00) PackEventBinIntoFile.\nFillEventBinMsg (00) "
              "ResetEventBinFile.\n");
    EXPECT_TRUE(testing_support::FileExists(History()));
    EXPECT_EQ(ReadFile(History()), "");
    EXPECT_EQ(GetEventBinCounts(0).lCount, 1023u);
    EXPECT_EQ(GetEventBinCounts(0).lPending, 0u);

    RecEventToFile(0, NumberedRec(1024));
    EXPECT_EQ(FilesStartingWith(server_.path(), "event_bak_").size(), 1u);
    EXPECT_EQ(server_.Log(), log);
    const auto held = ListLines(0);
    ASSERT_EQ(held.size(), 1023u);
    EXPECT_EQ(held.front().substr(EVENT_BIN_HEX_POS, 12), NumberedHex(1024));
    EXPECT_EQ(held.back().substr(EVENT_BIN_HEX_POS, 12), NumberedHex(2));
    EXPECT_EQ(GetEventBinCounts(0).lPending, 1u);
    // The history file holds exactly the lines not packed.
    EXPECT_EQ(ReadFile(History()), held.front() + "\n");
}

// A full history goes on packing every 1023 events: the pack files hold every event once, and the
// history file never holds more than the lines since the last pack (a restart has no more than that
// to load).
TEST_F(EventRecordTest, AFullHistoryPacksEvery1023EventsAndTheFileStaysSmall) {
    constexpr uint32_t kEvents = 3 * 1023 + 5;
    for (uint32_t i = 1; i <= kEvents; ++i)
        RecEventToFile(0, NumberedRec(i));
    std::vector<std::string> packed;
    for (const std::string& bak : FilesStartingWith(server_.path(), "event_bak_"))
        for (const std::string& line : SplitLines(ReadFile(server_.File(bak))))
            packed.push_back(line.substr(EVENT_BIN_HEX_POS, 12));
    std::vector<std::string> expected;
    for (uint32_t i = 1; i <= 3 * 1023; ++i)
        expected.push_back(NumberedHex(i));
    std::sort(packed.begin(), packed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(packed, expected);
    EXPECT_EQ(Occurrences(server_.Log(), "FillEventBinMsg (00) ResetEventBinFile.\n"), 3u);
    const auto rest = SplitLines(ReadFile(History()));
    ASSERT_EQ(rest.size(), 5u);
    EXPECT_EQ(rest.front().substr(EVENT_BIN_HEX_POS, 12), NumberedHex(3 * 1023 + 1));
    EXPECT_EQ(GetEventBinCounts(0).lPending, 5u);

    // A restart loads those five and packs nothing.
    ReloadEventBinFile(0);
    EXPECT_EQ(ListLines(0).size(), 5u);
    EXPECT_EQ(Occurrences(server_.Log(), "ResetEventBinFile"), 3u);
}

// A restart loads what was recorded before it: the file keeps every line since the last pack.
TEST_F(EventRecordTest, EventsRecordedSinceTheLoadComeBackAfterAReload) {
    ASSERT_TRUE(WriteFile(History(), "old1\nold2\n"));
    ReloadEventBinFile(0);
    for (uint32_t i = 1; i <= 3; ++i)
        RecEventToFile(0, NumberedRec(i));
    const auto before = ListLines(0);
    ASSERT_EQ(before.size(), 5u);

    FreeEventBinList(0);  // as good as a new process
    ReloadEventBinFile(0);
    EXPECT_EQ(ListLines(0), before);
    EXPECT_EQ(ListLines(0).back(), "old1");
    EXPECT_EQ(ListLines(0).front().substr(EVENT_BIN_HEX_POS, 12), NumberedHex(3));
    EXPECT_EQ(SplitLines(ReadFile(History())).size(), 5u);
    EXPECT_EQ(server_.Log(), "");
}

TEST_F(EventRecordTest, AfterAReleaseThePackWritesOnlyTheLinesHeld) {
    for (uint32_t i = 1; i <= 1000; ++i)
        RecEventToFile(0, NumberedRec(i));
    FreeEventBinList(0);
    EXPECT_EQ(GetEventBinCounts(0).lCount, 0u);
    EXPECT_EQ(GetEventBinCounts(0).lPending, 1000u);
    EXPECT_TRUE(ListLines(0).empty());

    for (uint32_t i = 1001; i <= 1023; ++i)
        RecEventToFile(0, NumberedRec(i));
    const auto baks = FilesStartingWith(server_.path(), "event_bak_");
    ASSERT_EQ(baks.size(), 1u);
    const auto packed = SplitLines(ReadFile(server_.File(baks[0])));
    ASSERT_EQ(packed.size(), 23u);
    EXPECT_EQ(packed.front().substr(EVENT_BIN_HEX_POS, 12), NumberedHex(1001));
    EXPECT_EQ(packed.back().substr(EVENT_BIN_HEX_POS, 12), NumberedHex(1023));
    EXPECT_EQ(GetEventBinCounts(0).lCount, 23u);
    EXPECT_EQ(GetEventBinCounts(0).lPending, 0u);
}

TEST_F(EventRecordTest, AFailedPackKeepsTheHistoryFileAndIsTriedAgainByTheNextEvent) {
    ASSERT_TRUE(WriteFile(History(), "kept\n"));
    for (uint32_t i = 1; i <= 1022; ++i)
        RecEventToFile(0, NumberedRec(i));
    const auto blocks = BlockPackNames();
    RecEventToFile(0, NumberedRec(1023));
    // Not emptied: it holds its old line and every line recorded since.
    const auto kept = SplitLines(ReadFile(History()));
    ASSERT_EQ(kept.size(), 1024u);
    EXPECT_EQ(kept.front(), "kept");
    EXPECT_EQ(kept.back().substr(EVENT_BIN_HEX_POS, 12), NumberedHex(1023));
    EXPECT_EQ(GetEventBinCounts(0).lPending, 1023u);
    EXPECT_EQ(server_.Log(), "FillEventBinMsg (00) PackEventBinIntoFile.\n");

    for (const std::string& b : blocks)
        fs::remove(b);
    RecEventToFile(0, NumberedRec(1024));
    const auto baks = FilesStartingWith(server_.path(), "event_bak_");
    ASSERT_EQ(baks.size(), 1u);
    const auto packed = SplitLines(ReadFile(server_.File(baks[0])));
    ASSERT_EQ(packed.size(), 1023u);
    EXPECT_EQ(packed.front().substr(EVENT_BIN_HEX_POS, 12), NumberedHex(2));
    EXPECT_EQ(GetEventBinCounts(0).lPending, 0u);
    // Event 1 left the full list unpacked: only the history file still holds it, so the file
    // is not emptied (nothing is lost; the next start-up packs it whole).
    const auto after = SplitLines(ReadFile(History()));
    ASSERT_EQ(after.size(), 1025u);
    EXPECT_EQ(after[1].substr(EVENT_BIN_HEX_POS, 12), NumberedHex(1));
    EXPECT_EQ(server_.Log().find("ResetEventBinFile"), std::string::npos);
}

TEST_F(EventRecordTest, ALoadWhosePackFailsKeepsTheWholeHistoryFile) {
    std::string content;
    for (int i = 0; i < 1100; ++i)
        content += "w" + std::to_string(i) + "\n";
    ASSERT_TRUE(WriteFile(History(), content));
    const auto blocks = BlockPackNames();

    ReloadEventBinFile(0);
    EXPECT_EQ(server_.Log(),
              "LoadEventBinFiles (00) PackEventBinIntoFile fail, history file kept.\n");
    EXPECT_EQ(ReadFile(History()), content);
    EXPECT_EQ(GetEventBinCounts(0).lCount, 1023u);
    EXPECT_EQ(ListLines(0).front(), "w1022");

    // The next event packs what the list holds, but the file, holding more, is not emptied.
    for (const std::string& b : blocks)
        fs::remove(b);
    RecEventToFile(0, NumberedRec(1));
    const auto baks = FilesStartingWith(server_.path(), "event_bak_");
    ASSERT_EQ(baks.size(), 1u);
    const auto packed = SplitLines(ReadFile(server_.File(baks[0])));
    ASSERT_EQ(packed.size(), 1023u);
    EXPECT_EQ(packed.front(), "w1");
    EXPECT_EQ(ReadFile(History()), content + ListLines(0).front() + "\n");
    EXPECT_EQ(Occurrences(server_.Log(), "ResetEventBinFile"), 0u);
}

TEST_F(EventRecordTest, AFailedTruncationStopsNothing) {
    fs::create_directory(History());  // the history file cannot be opened for writing
    for (uint32_t i = 1; i <= 1024; ++i)
        RecEventToFile(0, NumberedRec(i));
    EXPECT_FALSE(ResetEventBinFile(0));
    EXPECT_EQ(FilesStartingWith(server_.path(), "event_bak_").size(), 1u);
    EXPECT_EQ(Occurrences(server_.Log(), "FillEventBinMsg (00) ResetEventBinFile.\n"), 1u);
    EXPECT_EQ(GetEventBinCounts(0).lCount, 1023u);
    EXPECT_EQ(SplitLines(ReadFile(Cwd(std::string("event_bin_") + kSn))).size(), 1024u);
}

TEST_F(EventRecordTest, StartUpLoadOf2500WordsPacksTwiceAndKeepsTheLast454) {
    std::string content;
    for (int i = 0; i < 2500; ++i) {
        char w[16];
        std::snprintf(w, sizeof w, "w%04d", i);
        content += w;
        content += (i % 7 == 0) ? " " : (i % 7 == 1) ? "\t" : (i % 7 == 2) ? "\r\n" : "\n";
    }
    ASSERT_TRUE(WriteFile(History(), content));

    LoadEventBinFiles();

    const auto baks = FilesStartingWith(server_.path(), "event_bak_");
    ASSERT_EQ(baks.size(), 2u);
    // The two packs, oldest words first, written at least the pause apart.
    std::vector<std::vector<std::string>> packs;
    for (const auto& b : baks)
        packs.push_back(SplitLines(ReadFile(server_.File(b))));
    if (packs[0].front() != "w0000") {
        std::swap(packs[0], packs[1]);
    }
    ASSERT_EQ(packs[0].size(), 1023u);
    ASSERT_EQ(packs[1].size(), 1023u);
    EXPECT_EQ(packs[0].front(), "w0000");
    EXPECT_EQ(packs[0].back(), "w1022");
    EXPECT_EQ(packs[1].front(), "w1023");
    EXPECT_EQ(packs[1].back(), "w2045");
    auto t0 = fs::last_write_time(server_.File(baks[0]));
    auto t1 = fs::last_write_time(server_.File(baks[1]));
    auto apart = t0 > t1 ? t0 - t1 : t1 - t0;
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(apart).count(), 1400);

    EXPECT_EQ(GetEventBinCounts(0).lCount, 454u);
    EXPECT_EQ(GetEventBinCounts(0).lPending, 454u);
    const auto held = ListLines(0);
    EXPECT_EQ(held.front(), "w2499");
    EXPECT_EQ(held.back(), "w2046");
    std::string rewritten;
    for (int i = 2046; i < 2500; ++i) {
        char w[16];
        std::snprintf(w, sizeof w, "w%04d\n", i);
        rewritten += w;
    }
    EXPECT_EQ(ReadFile(History()), rewritten);
    EXPECT_FALSE(testing_support::FileExists(History() + ".tmp"));
    EXPECT_EQ(server_.Log(), "");
}

TEST_F(EventRecordTest, LoadKeepsWordsOf255CharactersAndSkipsLongerOnes) {
    const std::string w255(255, 'a');
    ASSERT_TRUE(WriteFile(History(), w255 + "\n" + std::string(256, 'b') + "\n" +
                                         std::string(10000, 'c') + " short\n\n   \n"));
    ReloadEventBinFile(0);
    const auto held = ListLines(0);
    ASSERT_EQ(held.size(), 2u);
    EXPECT_EQ(held[1], w255);
    EXPECT_EQ(held[0], "short");
    EXPECT_EQ(ReadFile(History()), w255 + "\nshort\n");
}

// A NUL byte ends a word's text; a word that starts with one would be an empty line, which the
// rewritten file could not give back, so it is no line at all.
TEST_F(EventRecordTest, LoadCutsAWordAtANulAndSkipsAWordThatStartsWithOne) {
    ASSERT_TRUE(WriteFile(History(), std::string("ab\0cd\n\0xyz \0 ef\n", 16)));
    ReloadEventBinFile(0);
    EXPECT_EQ(ListLines(0), (std::vector<std::string>{"ef", "ab"}));
    EXPECT_EQ(ReadFile(History()), "ab\nef\n");
    ReloadEventBinFile(0);
    EXPECT_EQ(ListLines(0), (std::vector<std::string>{"ef", "ab"}));
}

TEST_F(EventRecordTest, LoadLeavesAControllerThatIsNotAliveUntouched) {
    SetCtlr(1, "SNNOTALIVE000000001", false);
    const std::string file = server_.File("event_bin_SNNOTALIVE000000001.txt");
    ASSERT_TRUE(WriteFile(file, "a\nb\nc\n"));
    // Lines held from before are released all the same.
    AddEventBinLine(*GetEventBinList(1), nullptr, "stale", nullptr, false);

    LoadEventBinFiles();

    EXPECT_EQ(GetEventBinCounts(1).lCount, 0u);
    EXPECT_EQ(GetEventBinCounts(1).lPending, 0u);
    EXPECT_EQ(ReadFile(file), "a\nb\nc\n");
    // A live controller without a history file: nothing is created.
    EXPECT_EQ(GetEventBinCounts(0).lCount, 0u);
    EXPECT_FALSE(testing_support::FileExists(History()));
    EXPECT_TRUE(FilesStartingWith(server_.path(), "event_").size() == 1u);
}

TEST_F(EventRecordTest, ReloadReplacesTheLinesHeld) {
    for (uint32_t i = 1; i <= 10; ++i)
        RecEventToFile(0, NumberedRec(i));
    ASSERT_TRUE(WriteFile(History(), "x1\nx2\nx3\n"));
    ReloadEventBinFile(0);
    const auto held = ListLines(0);
    EXPECT_EQ(held, (std::vector<std::string>{"x3", "x2", "x1"}));
    EXPECT_EQ(GetEventBinCounts(0).lPending, 3u);
}

// The rewrite goes through a temporary file: whatever stops it, the old history file stays whole.
TEST_F(EventRecordTest, AFailedRewriteLeavesTheOldHistoryFileWhole) {
    struct Case {
        const char* name;
        void (*sabotage)(const std::string& temp);
        bool tempRemains;  // the sabotage object is not ours to remove
    } cases[] = {
        {"temporary file cannot be created",
         [](const std::string& temp) { fs::create_directory(temp); }, true},
        {"writing the temporary file fails (disk full)",
         [](const std::string& temp) { fs::create_symlink("/dev/full", temp); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (uint32_t i = 1; i <= 5; ++i)
            RecEventToFile(0, NumberedRec(i));
        ASSERT_TRUE(WriteFile(History(), "old1\nold2\n"));
        const std::string temp = History() + ".tmp";
        c.sabotage(temp);

        EXPECT_FALSE(SaveEventBinFile(0));
        EXPECT_EQ(ReadFile(History()), "old1\nold2\n");
        EXPECT_EQ(fs::exists(fs::symlink_status(temp)), c.tempRemains);

        // A load whose rewrite fails keeps the file as well.
        ReloadEventBinFile(0);
        EXPECT_EQ(ReadFile(History()), "old1\nold2\n");
        EXPECT_EQ(GetEventBinCounts(0).lCount, 2u);

        fs::remove_all(temp);
        EXPECT_TRUE(SaveEventBinFile(0));
        EXPECT_EQ(ReadFile(History()), "old1\nold2\n");
        EXPECT_FALSE(fs::exists(fs::symlink_status(temp)));
        FreeEventBinList(0);
    }
}

TEST_F(EventRecordTest, RewriteWritesTheLinesHeldOldestFirst) {
    for (uint32_t i = 1; i <= 3; ++i)
        RecEventToFile(0, NumberedRec(i));
    ASSERT_TRUE(SaveEventBinFile(0));
    const auto lines = SplitLines(ReadFile(History()));
    ASSERT_EQ(lines.size(), 3u);
    for (uint32_t i = 1; i <= 3; ++i)
        EXPECT_EQ(lines[i - 1].substr(EVENT_BIN_HEX_POS, 12), NumberedHex(i));
    // An empty list rewrites an empty file; a dead entry writes nothing.
    FreeEventBinList(0);
    ASSERT_TRUE(SaveEventBinFile(0));
    EXPECT_EQ(ReadFile(History()), "");
    ASSERT_TRUE(WriteFile(History(), "x\n"));
    SetCtlr(0, kSn, false);
    EXPECT_FALSE(SaveEventBinFile(0));
    EXPECT_FALSE(ResetEventBinFile(0));
    EXPECT_FALSE(PackEventBinIntoFile(0));
    EXPECT_EQ(ReadFile(History()), "x\n");
}

TEST_F(EventRecordTest, SerialNumbersUnsafeForNamesStayInTheirDirectories) {
    SetCtlr(2, "../../x/y");
    RecEventToFile(2, MakeRec(2, {21, 0, 1}));
    ASSERT_TRUE(SaveEventBinFile(2));
    EXPECT_TRUE(fs::is_regular_file(Cwd("event_bin_.._.._x_y")));
    EXPECT_TRUE(fs::is_regular_file(Cwd("event_.._.._x_y")));
    EXPECT_TRUE(fs::is_regular_file(server_.File("event_bin_.._.._x_y.txt")));
    // The line keeps the serial number as the controller gave it.
    EXPECT_EQ(ListLines(2).at(0).substr(18, 10), "../../x/y\\");

    SetCtlr(3, "");
    RecEventToFile(3, MakeRec(3, {4}));
    EXPECT_TRUE(fs::is_regular_file(Cwd("event_bin_NO_SN")));
    EXPECT_TRUE(fs::is_regular_file(Cwd("event_NO_SN")));
}

TEST_F(EventRecordTest, VisitGivesTheNewestLinesFirstUpToTheLimit) {
    EventBinList& list = *GetEventBinList(0);
    for (const char* t : {"one", "two", "three", "four"})
        ASSERT_TRUE(AddEventBinLine(list, nullptr, t, nullptr, false));
    std::vector<std::string> seen;
    std::vector<uint32_t> indexes;
    EXPECT_EQ(VisitEventBinLines(0, 3,
                                 [&](uint32_t i, const char(&text)[EVENT_BIN_LINE_MAX]) {
                                     indexes.push_back(i);
                                     seen.push_back(text);
                                     // Every byte after the text is zero.
                                     for (size_t k = std::strlen(text); k < EVENT_BIN_LINE_MAX; ++k)
                                         ASSERT_EQ(text[k], '\0');
                                 }),
              3u);
    EXPECT_EQ(seen, (std::vector<std::string>{"four", "three", "two"}));
    EXPECT_EQ(indexes, (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(VisitEventBinLines(16, 10, [](uint32_t, const char(&)[EVENT_BIN_LINE_MAX]) {}), 0u);
    EXPECT_EQ(GetEventBinList(16), nullptr);
}

}  // namespace

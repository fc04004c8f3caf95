// The polling sweep against a fake driver, the event queues, and the replies of
// REQ_GET_INBAND_EVENT (sub-types 1 and 2) byte for byte.
#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "events/EventPollTestUtil.h"
#include "guiserver/EventReq.h"
#include "protocol/SysStatus.h"
#include "support/FakeDevice.h"

using namespace testing_support;
using namespace event_test;

namespace {

constexpr const char* kSn0 = "SN0123456789ABCDEF0";  // 19 characters, as controllers report
constexpr const char* kSn1 = "SN0123456789ABCDEF1";

std::string HexOf(const Event& e) {
    std::string out;
    char pair[3];
    for (uint8_t b : e) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        out += pair;
    }
    return out;
}

class EventPollTest : public EventPollFixture {
  protected:
    std::vector<std::string> HexLog(const char* sn) const {
        return SplitLines(ReadFile(Cwd(std::string("event_bin_") + sn)));
    }
    // The event numbers of controller n's history, newest first.
    static std::vector<uint32_t> HistoryNumbers(uint8_t n) {
        std::vector<uint32_t> out;
        VisitEventBinLines(n, EVENT_BIN_LIST_MAX,
                           [&](uint32_t, const char(&text)[EVENT_BIN_LINE_MAX]) {
                               uint8_t entry[EVENT_LIST_ENTRY_SIZE];
                               ComposeEventListEntry(text, entry);
                               out.push_back(NumberOf(entry + EVENT_LIST_PREFIX_LEN));
                           });
        return out;
    }
    // Takes every queued event of controller n; their numbers, oldest first.
    static std::vector<uint32_t> TakeAll(uint8_t n) {
        std::vector<uint32_t> out;
        for (;;) {
            CtlrEventRec rec{};
            EXPECT_EQ(Remove_InBand_Event(n, rec), SYS_SUCCESS);
            if (rec.bValid == 0) break;
            uint8_t b[EVENT_REC_SIZE];
            std::memcpy(b, &rec.event, EVENT_REC_SIZE);
            out.push_back(NumberOf(b));
        }
        return out;
    }

    EventDriver drv_{server_.path()};
};

TEST_F(EventPollTest, NoLiveControllerMeansNoChannelCall) {
    drv_.AddPort(0);
    EXPECT_FALSE(SweepCtlrEvents());
    EXPECT_EQ(drv_.device().CallCount(), 0u);
    EXPECT_EQ(server_.Log(), "");
}

TEST_F(EventPollTest, PendingEventsAreDrainedInOrderBeforeTheNextController) {
    SetEntry(0, 0, kSn0);
    SetEntry(1, 1, kSn1);
    for (uint32_t i = 1; i <= 5; ++i)
        drv_.Queue(0, Numbered(i));
    drv_.Queue(1, Numbered(100));
    // What controller 0 had recorded when the sweep first reached controller 1.
    std::atomic<int> seenHistory{-1};
    std::atomic<int> seenLog{-1};
    drv_.OnCall([&](const DevCall& c) {
        if (c.port == 1 && seenHistory.load() < 0) {
            seenHistory = static_cast<int>(GetEventBinCounts(0).lCount);
            seenLog = static_cast<int>(HexLog(kSn0).size());
        }
    });

    EXPECT_FALSE(SweepCtlrEvents());
    EXPECT_EQ(seenHistory.load(), 5);
    EXPECT_EQ(seenLog.load(), 5);

    // Six fetches on port 0 (five events, then none pending), then two on port 1.
    std::vector<int> ports;
    for (const DevCall& c : drv_.device().Calls()) {
        ports.push_back(c.port);
        EXPECT_EQ(c.ControlCode(), IOCTL_DTR_GET_INBAND_EVENT);
        EXPECT_EQ(c.Length(), EVENT_REC_SIZE);
    }
    EXPECT_EQ(ports, (std::vector<int>{0, 0, 0, 0, 0, 0, 1, 1}));

    EXPECT_EQ(HistoryNumbers(0), (std::vector<uint32_t>{5, 4, 3, 2, 1}));
    EXPECT_EQ(HistoryNumbers(1), (std::vector<uint32_t>{100}));
    const auto log = HexLog(kSn0);
    ASSERT_EQ(log.size(), 5u);
    for (uint32_t i = 0; i < 5; ++i)
        EXPECT_EQ(log[i].substr(EVENT_BIN_HEX_POS), HexOf(Numbered(i + 1)));
    EXPECT_EQ(TakeAll(0), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(TakeAll(1), (std::vector<uint32_t>{100}));
    // The channel's own line per delivered event, nothing else.
    const std::string success = " : DeviceIoControl IOCTL_DTR_GET_INBAND_EVENT Success.\n";
    std::string want;
    for (int i = 0; i < 5; ++i)
        want += std::string("Ctlr ") + kSn0 + success;
    want += std::string("Ctlr ") + kSn1 + success;
    EXPECT_EQ(server_.Log(), want);
}

TEST_F(EventPollTest, TheFetchCodeFollowsTheUnitMarker) {
    drv_.AddPort(0);
    const struct {
        uint8_t mark;
        uint32_t code;
    } cases[] = {{0, 0x9C40242C},  {16, 0x9C40246C}, {17, 0x9C402470},
                 {18, 0x9C402474}, {5, 0x9C40242C},  {255, 0x9C40242C}};
    for (const auto& k : cases) {
        SCOPED_TRACE(static_cast<int>(k.mark));
        SetEntry(0, 0, kSn0, k.mark);
        drv_.device().ClearCalls();
        SweepCtlrEvents();
        const auto calls = drv_.device().Calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].ControlCode(), k.code);
    }
}

TEST_F(EventPollTest, AChannelFailureEndsTheDrainForTheSweep) {
    SetEntry(0, 0, kSn0);
    SetEntry(1, 7, kSn1);  // no device on port 7: the open fails
    drv_.Queue(0, Numbered(1));
    EXPECT_FALSE(SweepCtlrEvents());
    EXPECT_EQ(HistoryNumbers(0), (std::vector<uint32_t>{1}));
    EXPECT_EQ(GetEventBinCounts(1).lCount, 0u);
    EXPECT_NE(server_.Log().find(std::string("Ctlr ") + kSn1 + " : Create device handle fail"),
              std::string::npos);
}

TEST_F(EventPollTest, AnEventFetchedWithTheFreeListEmptyIsRecordedButNotQueued) {
    SetEntry(0, 0, kSn0);
    const uint32_t total = EVENT_QUEUE_POOL_NODES + 1;
    for (uint32_t i = 1; i <= total; ++i)
        drv_.Queue(0, Numbered(i));
    EXPECT_EQ(CountFreeEventNodes(0), EVENT_QUEUE_POOL_NODES);
    SweepCtlrEvents();
    EXPECT_EQ(CountFreeEventNodes(0), 0u);
    EXPECT_EQ(GetEventBinCounts(0).lCount, total);
    EXPECT_EQ(HistoryNumbers(0).front(), total);
    EXPECT_EQ(HexLog(kSn0).size(), total);

    std::vector<uint32_t> want;
    for (uint32_t i = 1; i < total; ++i)
        want.push_back(i);
    EXPECT_EQ(TakeAll(0), want);  // the last one was never queued
    EXPECT_EQ(CountFreeEventNodes(0), EVENT_QUEUE_POOL_NODES);

    // With nodes back on the free list, the next event is queued again.
    drv_.Queue(0, Numbered(total + 1));
    SweepCtlrEvents();
    EXPECT_EQ(TakeAll(0), (std::vector<uint32_t>{total + 1}));
}

// A controller that never stops delivering: the sweep moves on after the drain slice and
// reports that events may be left.
TEST_F(EventPollTest, AControllerThatNeverStopsDeliveringDoesNotKeepTheSweep) {
    SetEntry(0, 0, kSn0);
    SetEntry(1, 1, kSn1);
    drv_.AddPort(0);
    drv_.Queue(1, Numbered(100));
    std::atomic<uint32_t> next{1};
    drv_.OnCall([&](const DevCall& c) {
        if (c.port == 0) drv_.Queue(0, Numbered(next++));
    });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(SweepCtlrEvents());
    EXPECT_GE(std::chrono::steady_clock::now() - t0,
              std::chrono::milliseconds(EVENT_DRAIN_SLICE_MS));
    EXPECT_EQ(HistoryNumbers(1), (std::vector<uint32_t>{100}));
    EXPECT_GT(GetEventBinCounts(0).lCount, 0u);
}

TEST_F(EventPollTest, QueuesGiveEventsOldestFirstAndReuseTheirNodes) {
    SetEntry(0, 0, kSn0);
    // An emptied queue keeps a stale last; the next enqueue starts afresh as first.
    ASSERT_TRUE(EnqueueCtlrEvent(0, ToCtlrEvent(Numbered(1))));
    EXPECT_EQ(TakeAll(0), (std::vector<uint32_t>{1}));
    ASSERT_TRUE(EnqueueCtlrEvent(0, ToCtlrEvent(Numbered(2))));
    ASSERT_TRUE(EnqueueCtlrEvent(0, ToCtlrEvent(Numbered(3))));
    EXPECT_EQ(CountFreeEventNodes(0), EVENT_QUEUE_POOL_NODES - 2);
    EXPECT_EQ(TakeAll(0), (std::vector<uint32_t>{2, 3}));
    EXPECT_EQ(CountFreeEventNodes(0), EVENT_QUEUE_POOL_NODES);
    // Number 15 has no pool; numbers of 16 or more no queue.
    EXPECT_FALSE(EnqueueCtlrEvent(15, ToCtlrEvent(Numbered(4))));
    EXPECT_FALSE(EnqueueCtlrEvent(16, ToCtlrEvent(Numbered(4))));
    EXPECT_EQ(server_.Log(), "pGetEventFreeQ : bCtlrNo : 16 error.\n");
}

TEST_F(EventPollTest, RemovalStatuses) {
    // Not alive: 0x34, nothing taken.
    SetEntry(2, 2, kSn0);
    ASSERT_TRUE(EnqueueCtlrEvent(2, ToCtlrEvent(Numbered(1))));
    ZeroCtlrEntry(2);
    CtlrEventRec rec{};
    EXPECT_EQ(Remove_InBand_Event(2, rec), SYSFAIL_EVENT_NOT_ALIVE);
    EXPECT_EQ(CountFreeEventNodes(2), EVENT_QUEUE_POOL_NODES - 1);

    // A first node holding no event: 0x32, and the node goes back to the free list.
    SetEntry(2, 2, kSn0);
    {
        EventQueue* q = pGetEventFreeQ(2);
        std::lock_guard<std::mutex> lock(q->mLock);
        q->pFirst->bValid = 0;
    }
    rec.bValid = 1;
    EXPECT_EQ(Remove_InBand_Event(2, rec), SYSFAIL_EVENT_REQ_FAIL);
    EXPECT_EQ(rec.bValid, 0);
    EXPECT_EQ(CountFreeEventNodes(2), EVENT_QUEUE_POOL_NODES);
    EXPECT_EQ(server_.Log(), "");

    // Numbers of 16 or more: logged, a failure, and no queue touched.
    std::vector<uint32_t> freeBefore;
    for (uint8_t n = 0; n < EVENT_QUEUE_SLOTS; ++n)
        freeBefore.push_back(CountFreeEventNodes(n));
    for (uint8_t n : {16, 200, 255}) {
        rec.bValid = 1;
        EXPECT_EQ(Remove_InBand_Event(n, rec), SYSFAIL_EVENT_REQ_FAIL);
        EXPECT_EQ(rec.bValid, 0);
    }
    for (uint8_t n = 0; n < EVENT_QUEUE_SLOTS; ++n)
        EXPECT_EQ(CountFreeEventNodes(n), freeBefore[n]);
    EXPECT_EQ(server_.Log(),
              "pGetEventFreeQ : bCtlrNo : 16 error.\npGetEventFreeQ : bCtlrNo : 200 error.\n"
              "pGetEventFreeQ : bCtlrNo : 255 error.\n");
    EXPECT_EQ(pGetEventFreeQ(15), pGetEventFreeQ(15));
    EXPECT_NE(pGetEventFreeQ(15), nullptr);
}

// Sub-type 1: the 37-byte reply, an event or the empty form.
TEST_F(EventPollTest, SubTypeOneTakesTheOldestEventThenAnswersEmpty) {
    SetEntry(3, 3, kSn0);
    Event a = Numbered(7), b = Numbered(8);
    a[1] = 0xA5;
    b[30] = 0xFE;
    ASSERT_TRUE(EnqueueCtlrEvent(3, ToCtlrEvent(a)));
    ASSERT_TRUE(EnqueueCtlrEvent(3, ToCtlrEvent(b)));
    const Event* wants[] = {&a, &b, nullptr};
    for (const Event* want : wants) {
        auto conn = EventRequest(kSn0, EVENT_REQ_ONE);
        conn->bLargeRep = 1;  // whatever was there before
        ASSERT_EQ(HandleInBandEventReq(*conn, 3), SYS_SUCCESS);
        EXPECT_EQ(conn->lRepLen, EVENT_ONE_REPLY_SIZE);
        EXPECT_EQ(conn->bLargeRep, 0);
        const uint8_t* r = conn->cRepBuf;
        EXPECT_EQ(r[1], 0x03);
        EXPECT_EQ(r[2], 'S');
        EXPECT_EQ(r[3], 0x50);
        std::vector<uint8_t> body(r + 5, r + 37);
        if (want != nullptr) {
            EXPECT_EQ(r[4], 0x50);
            EXPECT_EQ(body, std::vector<uint8_t>(want->begin(), want->end()));
        } else {
            EXPECT_EQ(r[4], 0x36);
            EXPECT_EQ(body, std::vector<uint8_t>(32, 0));
        }
        EXPECT_EQ(r[37], 0xEE);  // nothing written past the reply
    }
    EXPECT_EQ(server_.Log(), "");
}

TEST_F(EventPollTest, SubTypeOneReportsAFailedRemoval) {
    // The dispatcher passes only live controllers; one that dies meanwhile fails the removal.
    auto conn = EventRequest(kSn0, EVENT_REQ_ONE);
    EXPECT_EQ(HandleInBandEventReq(*conn, 4), SYSFAIL_EVENT_REQ_FAIL);
    EXPECT_EQ(conn->cRepBuf[1], 0xEE);  // no reply composed
    auto far = EventRequest(kSn0, EVENT_REQ_ONE);
    EXPECT_EQ(HandleInBandEventReq(*far, 16), SYSFAIL_EVENT_REQ_FAIL);
    EXPECT_EQ(server_.Log(),
              "HandleInBandEventReq : Ctrl(4), Type(1) Remove_InBand_Event fail : 34.\n"
              "pGetEventFreeQ : bCtlrNo : 16 error.\n"
              "HandleInBandEventReq : Ctrl(16), Type(1) Remove_InBand_Event fail : 32.\n");
}

TEST_F(EventPollTest, SubTypeTwoOnAnEmptyHistoryIsTheNineByteHeader) {
    SetEntry(5, 5, kSn0);
    auto conn = EventRequest(kSn0, EVENT_REQ_LIST);
    ASSERT_EQ(HandleInBandEventReq(*conn, 5), SYS_SUCCESS);
    EXPECT_EQ(conn->bLargeRep, 1);
    ASSERT_EQ(conn->lRepLen, 9u);
    const uint8_t* r = conn->cLargeRepBuf;
    EXPECT_EQ(std::vector<uint8_t>(r + 1, r + 9),
              (std::vector<uint8_t>{0x03, 'S', 0x50, 0x36, 0, 0, 0, 0}));
    EXPECT_EQ(r[9], 0xEE);  // the buffer past the reply is left alone
    EXPECT_EQ(server_.Log(), "HandleInBandEventReq : Ctrl(5), Type(2) SYSFAIL_EVENT_EMPTY.\n");
}

TEST_F(EventPollTest, SubTypeTwoSendsTheWholeHistoryNewestFirst) {
    SetEntry(6, 6, kSn0);
    EventBinList& list = *GetEventBinList(6);
    char serialPart[32];
    std::snprintf(serialPart, sizeof serialPart, "%s\\", kSn0);
    // 1100 lines: the list keeps the newest 1023 (numbers 78 to 1100).
    for (uint32_t i = 1; i <= 1100; ++i) {
        Event e = Numbered(i);
        for (int k = 28; k < 32; ++k)
            e[k] = static_cast<uint8_t>(0xC0 + k);
        const CtlrEvent ce = ToCtlrEvent(e);
        char prefix[32];
        std::snprintf(prefix, sizeof prefix, "12/07/26-14:%02u:%02u\\", (i / 60) % 60, i % 60);
        ASSERT_TRUE(AddEventBinLine(list, &ce, prefix, serialPart, true));
    }
    auto conn = EventRequest(kSn0, EVENT_REQ_LIST);
    ASSERT_EQ(HandleInBandEventReq(*conn, 6), SYS_SUCCESS);
    ASSERT_EQ(conn->lRepLen, 71619u);
    EXPECT_EQ(conn->bLargeRep, 1);
    const uint8_t* r = conn->cLargeRepBuf;
    EXPECT_EQ(std::vector<uint8_t>(r + 1, r + 9),
              (std::vector<uint8_t>{0x03, 'S', 0x50, 0x50, 0xFF, 0x03, 0, 0}));
    for (uint32_t k = 0; k < 1023; ++k) {
        const uint8_t* entry = r + 9 + 70 * k;
        const uint32_t i = 1100 - k;
        char prefix[64];
        std::snprintf(prefix, sizeof prefix, "12/07/26-14:%02u:%02u\\%s\\", (i / 60) % 60, i % 60,
                      kSn0);
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(entry), 38), prefix) << k;
        const Event e = Numbered(i);
        ASSERT_EQ(std::vector<uint8_t>(entry + 38, entry + 66),
                  std::vector<uint8_t>(e.begin(), e.begin() + 28))
            << k;
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(entry + 66), 4), "vwxy") << k;
    }
    EXPECT_EQ(r[71619], 0xEE);
    EXPECT_EQ(server_.Log(), "");

    // Released: the empty form again.
    FreeEventBinList(6);
    auto again = EventRequest(kSn0, EVENT_REQ_LIST);
    ASSERT_EQ(HandleInBandEventReq(*again, 6), SYS_SUCCESS);
    EXPECT_EQ(again->lRepLen, 9u);
    EXPECT_EQ(again->cLargeRepBuf[4], 0x36);
}

TEST_F(EventPollTest, UndefinedSubTypesFail) {
    const struct {
        uint8_t t;
        const char* shown;
    } cases[] = {{0, "0"}, {3, "3"}, {0x7F, "7f"}, {0x80, "ffffff80"}, {0xFF, "ffffffff"}};
    SetEntry(0, 0, kSn0);
    for (const auto& k : cases) {
        SCOPED_TRACE(k.shown);
        auto conn = EventRequest(kSn0, static_cast<int8_t>(k.t));
        const std::string before = server_.Log();
        EXPECT_EQ(HandleInBandEventReq(*conn, 0), SYSFAIL_EVENT_REQ_FAIL);
        EXPECT_EQ(server_.Log().substr(before.size()),
                  std::string("HandleInBandEventReq : Ctrl(0), Type(") + k.shown + ") INVALID.\n");
        EXPECT_EQ(conn->cRepBuf[1], 0xEE);
    }
}

// The entry of one recorded line: the prefix as it stands, the bytes as strtol reads the pairs.
TEST(EventListEntry, DecodesTheLineAsStrtolReadsItsPairs) {
    const std::string hex19 = "0300000501000001ab" + std::string(36, '0') + "ff";  // 28 bytes
    const struct Case {
        const char* name;
        std::string line;
        std::string prefix;          // 38 characters, NULs where the line is shorter
        std::vector<uint8_t> bytes;  // the first bytes; the rest of the 28 are 0
    } cases[] = {
        {"a normal line",
         "12/07/26-14:05:09\\SN0123456789ABCDEFG\\" + hex19 + "0a0b0c0d",
         "12/07/26-14:05:09\\SN0123456789ABCDEFG\\",
         {3, 0, 0, 5, 1, 0, 0, 1, 0xAB, 0, 0, 0, 0, 0,
          0, 0, 0, 0, 0, 0, 0, 0, 0,    0, 0, 0, 0, 0xFF}},
        {"a short serial number: the bytes still come from the hex digits",
         "12/07/26-14:05:09\\SN0001\\03000005010000010000000000000000000000000000000000000000000000"
         "00",
         std::string("12/07/26-14:05:09\\SN0001\\0300000501000"),
         {3, 0, 0, 5, 1, 0, 0, 1}},
        {"a loaded word without a backslash",
         "hello",
         std::string("hello") + std::string(33, '\0'),
         {}},
        {"pairs past the text read as zero, a lone digit as itself",
         "12/07/26-14:05:09\\SN0123456789ABCDEFG\\0102a",
         std::string("12/07/26-14:05:09\\SN0123456789ABCDEFG\\"),
         {1, 2, 0x0A}},
        {"strtol: capitals, signs, a 0x prefix, no digit",
         "12/07/26-14:05:09\\SN0123456789ABCDEFG\\FF-1+f0xzz g",
         std::string("12/07/26-14:05:09\\SN0123456789ABCDEFG\\"),
         {0xFF, 0xFF, 0x0F, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char text[EVENT_BIN_LINE_MAX] = {};
        std::memcpy(text, c.line.data(), c.line.size());
        uint8_t entry[EVENT_LIST_ENTRY_SIZE];
        std::memset(entry, 0xEE, sizeof entry);
        ComposeEventListEntry(text, entry);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(entry), 38), c.prefix);
        std::vector<uint8_t> want = c.bytes;
        want.resize(28, 0);
        EXPECT_EQ(std::vector<uint8_t>(entry + 38, entry + 66), want);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(entry + 66), 4), "vwxy");
    }
    // A backslash near the end of a full buffer: nothing is read past it.
    char full[EVENT_BIN_LINE_MAX];
    std::memset(full, 'f', sizeof full);
    full[250] = '\\';
    full[255] = '\0';
    uint8_t entry[EVENT_LIST_ENTRY_SIZE];
    ComposeEventListEntry(full, entry);
    EXPECT_EQ(entry[38], 0xFF);
    EXPECT_EQ(entry[39], 0xFF);
    EXPECT_EQ(entry[40], 0);
}

// Through the in-process GUI server: the dispatcher's failure reply and the large reply on the
// wire.
TEST_F(EventPollTest, RepliesOnTheWire) {
    SetEntry(0, 0, kSn0);
    auto ask = [](int8_t t) {
        return gui::Exchange(TestServer(), gui::ControllerRequest(3, kSn0, {uint8_t(t)}));
    };
    gui::Reply r = ask(3);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, (gui::Bytes{0x02, 0x03, 'S', 0x32}));
    r = gui::Exchange(TestServer(), gui::ControllerRequest(3, "NO-SUCH-SERIAL", {1}));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, (gui::Bytes{0x02, 0x03, 'N', 0x25}));

    ASSERT_TRUE(EnqueueCtlrEvent(0, ToCtlrEvent(Numbered(9))));
    r = ask(EVENT_REQ_ONE);
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.body.size(), 37u);
    EXPECT_EQ(r.body[4], 0x50);
    EXPECT_EQ(NumberOf(r.body.data() + 5), 9u);

    for (uint32_t i = 1; i <= 3; ++i)
        RecEventToFile(0, CtlrEventRec{ToCtlrEvent(Numbered(i)), 1, 0});
    r = ask(EVENT_REQ_LIST);
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.body.size(), 9u + 3 * 70);
    EXPECT_EQ(r.body[0], 0x02);
    EXPECT_EQ(GetLe32(r.body.data() + 5), 3u);
    for (uint32_t k = 0; k < 3; ++k)
        EXPECT_EQ(NumberOf(r.body.data() + 9 + 70 * k + 38), 3 - k);
}

}  // namespace

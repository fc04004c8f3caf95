// Threads racing on the event queues and the history: the polling sweep enqueuing while
// connection threads take events, and list walks of sub-type 2 racing appends and releases.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "controller/CtlrChannel.h"
#include "events/EventPollTestUtil.h"
#include "guiserver/EventReq.h"
#include "protocol/SysStatus.h"

using namespace testing_support;
using namespace event_test;

namespace {

constexpr const char* kSn = "SN0123456789ABCDEF0";
using Clock = std::chrono::steady_clock;

class EventPollConcTest : public EventPollFixture {};

TEST_F(EventPollConcTest, RemovalsRaceTheSweepWithoutLosingOrDuplicatingANode) {
    SetEntry(0, 0, kSn);
    EventDriver drv(server_.path());
    drv.AddPort(0);
    // The driver hands out events 1 to kTotal, a few per fetch round, then none.
    constexpr uint32_t kTotal = 1500;
    std::atomic<uint32_t> delivered{0};
    drv.OnCall([&](const DevCall&) {
        const uint32_t next = delivered.load() + 1;
        if (next > kTotal) return;
        delivered = next;
        drv.Queue(0, Numbered(next));
    });

    const auto deadline = Clock::now() + std::chrono::minutes(2);
    std::atomic<bool> polled{false};
    std::thread poller([&] {
        while (delivered.load() < kTotal && Clock::now() < deadline)
            SweepCtlrEvents();
        polled = true;
    });
    constexpr int kTakers = 3;
    std::vector<std::vector<uint32_t>> taken(kTakers);
    std::vector<std::thread> takers;
    for (int t = 0; t < kTakers; ++t)
        takers.emplace_back([&, t] {
            auto conn = EventRequest(kSn, EVENT_REQ_ONE);
            for (uint64_t round = 0; Clock::now() < deadline; ++round) {
                const bool done = polled.load();
                uint32_t number = 0;
                bool got = false;
                if (round % 2 == 0) {
                    CtlrEventRec rec{};
                    EXPECT_EQ(Remove_InBand_Event(0, rec), SYS_SUCCESS);
                    if (rec.bValid == 1) {
                        uint8_t b[EVENT_REC_SIZE];
                        std::memcpy(b, &rec.event, sizeof b);
                        number = NumberOf(b);
                        got = true;
                    }
                } else {
                    EXPECT_EQ(HandleInBandEventReq(*conn, 0), SYS_SUCCESS);
                    EXPECT_EQ(conn->lRepLen, EVENT_ONE_REPLY_SIZE);
                    if (conn->cRepBuf[4] == SYS_SUCCESS) {
                        number = NumberOf(conn->cRepBuf + 5);
                        got = true;
                    } else {
                        EXPECT_EQ(conn->cRepBuf[4], SYSFAIL_EVENT_EMPTY);
                    }
                }
                if (got) {
                    taken[t].push_back(number);
                } else if (done) {
                    break;  // the sweep has ended and the queue is empty
                } else {
                    std::this_thread::yield();
                }
            }
        });
    poller.join();
    for (auto& th : takers)
        th.join();
    ASSERT_EQ(delivered.load(), kTotal);

    // Each taker saw the queue's order; no event came out twice; every node is back.
    std::set<uint32_t> all;
    for (const auto& seq : taken) {
        EXPECT_TRUE(std::is_sorted(seq.begin(), seq.end()));
        for (uint32_t n : seq) {
            EXPECT_GE(n, 1u);
            EXPECT_LE(n, kTotal);
            EXPECT_TRUE(all.insert(n).second) << "event " << n << " taken twice";
        }
    }
    EXPECT_EQ(CountFreeEventNodes(0), EVENT_QUEUE_POOL_NODES);
    // Every event was recorded, whether queued or not, in delivery order.
    EXPECT_EQ(GetEventBinCounts(0).lCount, std::min(kTotal, EVENT_BIN_LIST_MAX));
    const auto log = SplitLines(ReadFile(Cwd(std::string("event_bin_") + kSn)));
    ASSERT_EQ(log.size(), kTotal);
    std::vector<uint32_t> order;
    VisitEventBinLines(0, EVENT_BIN_LIST_MAX, [&](uint32_t, const char(&text)[EVENT_BIN_LINE_MAX]) {
        uint8_t entry[EVENT_LIST_ENTRY_SIZE];
        ComposeEventListEntry(text, entry);
        order.push_back(NumberOf(entry + EVENT_LIST_PREFIX_LEN));
    });
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(order.front(), kTotal);
    EXPECT_TRUE(std::is_sorted(order.rbegin(), order.rend()));
}

// A channel held by another thread (a long package transfer, a rescan) is skipped, not waited
// for: the other controllers are still polled, and the held one is drained once it is free.
TEST_F(EventPollConcTest, ABusyChannelIsSkippedAndTheOthersArePolled) {
    SetEntry(0, 0, kSn);
    SetEntry(1, 1, "SN0123456789ABCDEF1");
    FreeEventBinList(0);  // what earlier tests left
    FreeEventBinList(1);
    EventDriver drv(server_.path());
    drv.Queue(0, Numbered(1));
    drv.Queue(1, Numbered(2));

    std::atomic<bool> holding{false};
    std::atomic<bool> release{false};
    std::thread transfer([&] {
        CtlrChannelHold hold(0);
        holding = true;
        const auto until = Clock::now() + std::chrono::seconds(30);
        while (!release.load() && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (!holding.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    EXPECT_FALSE(SweepCtlrEvents());  // returns although channel 0 stays held
    EXPECT_EQ(GetEventBinCounts(0).lCount, 0u);
    EXPECT_EQ(GetEventBinCounts(1).lCount, 1u);

    release = true;
    transfer.join();
    EXPECT_FALSE(SweepCtlrEvents());
    EXPECT_EQ(GetEventBinCounts(0).lCount, 1u);
}

TEST_F(EventPollConcTest, ListRepliesRaceAppendsAndReleases) {
    SetEntry(1, 1, kSn);
    EventBinList& list = *GetEventBinList(1);
    const std::string prefix = "12/07/26-14:05:09\\";
    const std::string serialPart = std::string(kSn) + "\\";
    const auto deadline = Clock::now() + std::chrono::minutes(2);
    constexpr uint32_t kLines = 40000;
    std::atomic<bool> appended{false};

    std::thread appender([&] {
        for (uint32_t i = 1; i <= kLines && Clock::now() < deadline; ++i) {
            const CtlrEvent e = ToCtlrEvent(Numbered(i));
            AddEventBinLine(list, &e, prefix.c_str(), serialPart.c_str(), true);
        }
        appended = true;
    });
    std::thread releaser([&] {
        while (!appended.load()) {
            FreeEventBinList(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::atomic<uint64_t> replies{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r)
        readers.emplace_back([&] {
            auto conn = EventRequest(kSn, EVENT_REQ_LIST);
            for (int round = 0; (!appended.load() || round < 20) && Clock::now() < deadline;
                 ++round) {
                ASSERT_EQ(HandleInBandEventReq(*conn, 1), SYS_SUCCESS);
                const uint8_t* rep = conn->cLargeRepBuf;
                const uint32_t c = GetLe32(rep + 5);
                ASSERT_LE(c, EVENT_BIN_LIST_MAX);
                ASSERT_EQ(conn->lRepLen, EVENT_LIST_HEADER_SIZE + EVENT_LIST_ENTRY_SIZE * c);
                ASSERT_EQ(rep[4], c == 0 ? SYSFAIL_EVENT_EMPTY : SYS_SUCCESS);
                uint32_t prev = UINT32_MAX;
                for (uint32_t k = 0; k < c; ++k) {
                    const uint8_t* entry = rep + 9 + 70 * k;
                    ASSERT_EQ(std::memcmp(entry, (prefix + serialPart).data(), 38), 0);
                    const uint32_t n = NumberOf(entry + 38);
                    ASSERT_LT(n, prev) << "entries newest first";
                    prev = n;
                    ASSERT_EQ(std::memcmp(entry + 66, "vwxy", 4), 0);
                }
                ++replies;
            }
        });
    appender.join();
    releaser.join();
    for (auto& th : readers)
        th.join();
    EXPECT_GT(replies.load(), 0u);
    EXPECT_LE(GetEventBinCounts(1).lCount, EVENT_BIN_LIST_MAX);
}

}  // namespace

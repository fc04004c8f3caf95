// The event history taken from several threads at once: the polling thread recording, GUI
// connection threads reading, releasing and reloading, and a rescan rewriting the entry.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "controller/CtlrTable.h"
#include "events/EventRecord.h"
#include "events/EventText.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kSn = "SN0123456789ABCDEFG";

void SetCtlr(uint8_t n, const char* sn) {
    std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
    CtlrEntry& e = GetCtlrEntry(n);
    e = CtlrEntry{};
    e.bState = CTLR_STATUS_ALIVE;
    std::snprintf(e.cCtrlSN, sizeof e.cCtrlSN, "%s", sn);
}

CtlrEventRec NumberedRec(uint32_t i) {
    CtlrEventRec rec{};
    uint8_t b[EVENT_REC_SIZE] = {20, 0, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)};
    rec.event = CtlrEvent::FromBytes(b);
    rec.bValid = 1;
    return rec;
}

bool NoMail() {
    return false;
}
void NoDispatch(const RecordedEvent&, const char*) {}
const EventMailCalls kNoMail{&NoMail, &NoDispatch};

// Walks the list's links under its lock and checks them against its count.
void ExpectListConsistent(uint8_t n) {
    EventBinList& list = *GetEventBinList(n);
    std::lock_guard<std::mutex> lock(list.mLock);
    ASSERT_LE(list.lCount, EVENT_BIN_LIST_MAX);
    uint32_t forward = 0;
    const EventBinLine* prev = nullptr;
    for (const EventBinLine* l = list.pFirst; l != nullptr; l = l->pNext) {
        ASSERT_EQ(l->pPrev, prev);
        prev = l;
        ++forward;
    }
    EXPECT_EQ(prev, list.pLast);
    EXPECT_EQ(forward, list.lCount);
}

TEST(EventRecordConcurrency, RecordingWhileOthersReadReleaseAndReload) {
    testing_support::ServerDirScope server;
    testing_support::TempDir cwd;
    const fs::path oldCwd = fs::current_path();
    fs::current_path(cwd.path());
    SetEventMailCalls(&kNoMail);
    SetCtlr(0, kSn);

    std::atomic<bool> done{false};
    std::atomic<int> badLines{0};
    std::atomic<int> visits{0};

    std::thread poller([&] {
        for (uint32_t i = 1; i <= 2100; ++i)
            RecEventToFile(0, NumberedRec(i));
        done = true;
    });
    std::thread reader([&] {
        for (int round = 0; round < 100000 && !done; ++round) {
            uint32_t seen = VisitEventBinLines(
                0, EVENT_BIN_LIST_MAX, [&](uint32_t, const char(&text)[EVENT_BIN_LINE_MAX]) {
                    if (std::strlen(text) != 102 || text[17] != '\\' || text[37] != '\\')
                        ++badLines;
                });
            if (seen > EVENT_BIN_LIST_MAX) ++badLines;
            ++visits;
        }
    });
    std::thread releaser([&] {
        for (int round = 0; round < 40 && !done; ++round) {
            FreeEventBinList(0);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    std::thread reloader([&] {
        for (int round = 0; round < 4 && !done; ++round) {
            ReloadEventBinFile(0);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    std::thread rescanner([&] {
        for (int round = 0; round < 200 && !done; ++round) {
            SetCtlr(0, kSn);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    poller.join();
    reader.join();
    releaser.join();
    reloader.join();
    rescanner.join();

    EXPECT_EQ(badLines.load(), 0);
    EXPECT_GT(visits.load(), 0);
    ExpectListConsistent(0);
    const EventBinCounts counts = GetEventBinCounts(0);
    EXPECT_EQ(VisitEventBinLines(0, EVENT_BIN_LIST_MAX,
                                 [](uint32_t, const char(&)[EVENT_BIN_LINE_MAX]) {}),
              counts.lCount);
    // Every event reached the hex log, in order, whatever happened to the list.
    const std::string hexLog = testing_support::ReadFile(cwd.File(std::string("event_bin_") + kSn));
    EXPECT_EQ(std::count(hexLog.begin(), hexLog.end(), '\n'), 2100);

    SetEventMailCalls(nullptr);
    ZeroCtlrEntry(0);
    ReloadEventBinFile(0);
    fs::current_path(oldCwd);
}

TEST(EventTextConcurrency, CallsOnSeveralThreadsDoNotShareTheirText) {
    struct Job {
        uint8_t bytes[EVENT_REC_SIZE];
        const char* text;
        bool mail;
    } jobs[] = {
        {{3, 0, 0, 5, 1, 0, 0, 1}, "RAID 0, Disk B5 is Offline or Plugout.\n", true},
        {{1, 0, 0x9D, 4}, "Rebuild Drive Start.\n", false},
        {{19, 0, 0, 1, 0}, "Fan Module 2 Fail.\n", true},
        {{25, 0, 3, 1}, "Driver Turn On Event Notification.\n", false},
    };
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (const Job& job : jobs) {
        threads.emplace_back([&job, &wrong] {
            const CtlrEvent e = CtlrEvent::FromBytes(job.bytes);
            for (int i = 0; i < 20000; ++i) {
                char text[EVENT_TEXT_MAX];
                bool mail = EventToText(e, text);
                if (mail != job.mail || std::strcmp(text, job.text) != 0) ++wrong;
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace

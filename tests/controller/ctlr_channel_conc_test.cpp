// Serialisation of the channel: per controller, held channels, and rescans against lookups.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "controller/CtlrChannel.h"
#include "controller/CtlrDiscovery.h"
#include "controller/CtlrRescan.h"
#include "controller/CtlrTestUtil.h"
#include "protocol/SysStatus.h"
#include "support/FakeDevice.h"

using namespace testing_support;
using ctlr_test::SetEntry;

namespace {

constexpr const char* kPath0 = "\\\\.\\Scsi0: ";

class ChannelConcTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ctlr_test::ClearTable();
        fc_.Add(0, 0, "SN-CONC-PRIMARY");
        fc_.Add(0, 1, "SN-CONC-SECOND1");
        SetEntry(0, kPath0, "SN-CONC-PRIMARY", 0);
        SetEntry(1, kPath0, "SN-CONC-SECOND1", 16);
    }
    void TearDown() override { ctlr_test::ClearTable(); }

    static uint8_t Command(uint8_t ctlrNo, uint8_t unitByte) {
        uint8_t cmd[4] = {7, unitByte, 0, 0};
        return CtlrDevIoControl(ctlrNo, IOCTL_DTR_INBAND_COMMAND, 4, cmd, 0, nullptr, nullptr);
    }

    ServerDirScope dir_;
    FakeControllers fc_{dir_.path()};
};

TEST_F(ChannelConcTest, CallsToOneControllerNeverOverlap) {
    fc_.SetDelayMs(3);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10; ++i)
                if (Command(0, 0) != SYS_SUCCESS) ++failures;
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(fc_.device().CallCount(), 40u);
    EXPECT_EQ(fc_.device().MaxInFlight(0), 1);
}

TEST_F(ChannelConcTest, CallsToTwoUnitsOfOnePortRunAtOnce) {
    // The first command waits until the second has reached the driver too.
    std::mutex mu;
    std::condition_variable cv;
    int arrived = 0;
    fc_.SetCommandHook([&](const DevCall& c, int) -> std::optional<DevAnswer> {
        if (c.Data(0) != 7) return std::nullopt;
        std::unique_lock<std::mutex> lock(mu);
        ++arrived;
        cv.notify_all();
        cv.wait_for(lock, std::chrono::seconds(20), [&] { return arrived >= 2; });
        return DevAnswer{};
    });
    std::thread a([] { EXPECT_EQ(Command(0, 0), SYS_SUCCESS); });
    std::thread b([] { EXPECT_EQ(Command(1, 32), SYS_SUCCESS); });
    a.join();
    b.join();
    EXPECT_EQ(fc_.device().MaxInFlight(0), 2);
}

TEST_F(ChannelConcTest, HeldChannelKeepsOtherCallsAway) {
    std::atomic<bool> held{false}, done{false};
    {
        auto hold = std::make_unique<CtlrChannelHold>(0);
        // Calls of the holder itself go through.
        EXPECT_EQ(Command(0, 0), SYS_SUCCESS);
        std::thread other([&] {
            EXPECT_EQ(Command(0, 0), SYS_SUCCESS);
            done = true;
        });
        WaitFor([] { return false; }, std::chrono::milliseconds(150));
        EXPECT_FALSE(done.load());
        EXPECT_EQ(fc_.device().CallCount(), 1u);
        hold.reset();
        other.join();
    }
    EXPECT_TRUE(done.load());
    EXPECT_EQ(fc_.device().CallCount(), 2u);
}

TEST_F(ChannelConcTest, LookupsWaitForARunningRescan) {
    fc_.Add(5, 0, "SN-CONC-PORT5");
    InitCtlrTable();
    uint8_t sn[16] = {};
    std::memcpy(sn, "SN-CONC-PORT5", 13);
    ASSERT_EQ(FindCtlrBySN(sn), 2);
    fc_.SetDelayMs(5);  // a slow rescan: port 0 empties numbers 2 to 15 while it runs

    std::atomic<bool> stop{false};
    std::atomic<int> lookups{0}, misses{0};
    std::thread reader([&] {
        while (!stop.load()) {
            if (FindCtlrBySN(sn) != 2) ++misses;
            if (CountCtlr() != 3) ++misses;
            ++lookups;
        }
    });
    WaitFor([&] { return lookups.load() > 10; });
    RescanCtlr();
    stop = true;
    reader.join();
    EXPECT_EQ(misses.load(), 0);
    EXPECT_EQ(FindCtlrBySN(sn), 2);
}

TEST_F(ChannelConcTest, RescanWaitsForAHeldChannel) {
    std::atomic<bool> rescanned{false};
    std::thread rescan;
    {
        CtlrChannelHold hold(1);
        rescan = std::thread([&] {
            RescanCtlr();
            rescanned = true;
        });
        WaitFor([] { return false; }, std::chrono::milliseconds(150));
        EXPECT_FALSE(rescanned.load());
        EXPECT_EQ(fc_.device().CallCount(), 0u);
    }
    rescan.join();
    EXPECT_TRUE(rescanned.load());
    EXPECT_EQ(ctlr_test::SerialOf(1), "SN-CONC-SECOND1");
}

}  // namespace

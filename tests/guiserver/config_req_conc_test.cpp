// Configuration requests on several connections at once: rescans (code 3) while descriptions
// (code 18) refresh controllers, histories are released (code 15) and mail settings change.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "controller/CtlrRescan.h"
#include "controller/CtlrTestUtil.h"
#include "events/EventRecord.h"
#include "support/FakeDevice.h"
#include "support/TestSupport.h"

using namespace testing_support;
using gui::Bytes;

namespace {

const char* const kSerials[] = {"SN-CONC-0", "SN-CONC-1", "SN-CONC-2"};

Bytes Sn16(const std::string& s) {
    Bytes b(16, 0);
    std::copy(s.begin(), s.end(), b.begin());
    return b;
}

TEST(ConfigReqConc, RescansDescriptionsReleasesAndMailChangesInterleaveSafely) {
    ctlr_test::ClearTable();
    ServerDirScope dir;
    FakeControllers fc(dir.path());
    fc.Add(0, 0, kSerials[0]);
    fc.Add(0, 1, kSerials[1]);
    fc.Add(2, 0, kSerials[2]);
    RescanCtlr();
    ASSERT_EQ(CountCtlr(), 3);
    const gui::Endpoint ep = TestServer();

    std::vector<std::string> failures[5];
    auto check = [&](int t, bool ok, const std::string& what) {
        if (!ok) failures[t].push_back(what);
    };
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 0; i < 6; ++i) {
            gui::Reply r = gui::Exchange(ep, gui::ConfigRequest(3, {}));
            check(0, r.ok && r.body == (Bytes{2, 2, 3, 0x50, 3}), "count " + gui::Hex(r.body));
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 30; ++i) {
            const uint8_t n = static_cast<uint8_t>(i % 3);
            gui::Reply r = gui::Exchange(ep, gui::ConfigRequest(18, {0, n}));
            std::string text(r.body.size() == 112 ? r.body.begin() + 6 : r.body.end(),
                             r.body.end());
            const std::string want =
                "Server:" + std::to_string(n) + "@1" + kSerials[n] + "@2LocalHost@3";
            // The description always names the unit the number holds.
            check(1, r.ok && r.body.size() == 112 && r.body[5] == 1 && text.rfind(want, 0) == 0,
                  "info " + gui::Hex(r.body));
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 30; ++i) {
            const uint8_t n = static_cast<uint8_t>(i % 3);
            AddEventBinLine(*GetEventBinList(n), nullptr, "line", nullptr, false);
            gui::Reply r = gui::Exchange(ep, gui::ConfigRequest(15, Sn16(kSerials[n])));
            check(2, r.ok && r.body == (Bytes{2, 2, 15, 0x50}), "clear " + gui::Hex(r.body));
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 30; ++i) {
            const std::string text = "mx-" + std::to_string(i);
            Bytes data = {static_cast<uint8_t>(text.size())};
            data.insert(data.end(), text.begin(), text.end());
            gui::Reply r = gui::Exchange(ep, gui::ConfigRequest(7, data));
            check(3, r.ok && r.body == (Bytes{2, 2, 7, 0x50}), "set " + gui::Hex(r.body));
            r = gui::Exchange(ep, gui::ConfigRequest(5, {}));
            Bytes want = {2, 2, 5, 0x50, static_cast<uint8_t>(text.size())};
            want.insert(want.end(), text.begin(), text.end());
            check(3, r.ok && r.body == want, "get " + gui::Hex(r.body));
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 30; ++i) {
            const uint8_t slot = static_cast<uint8_t>(i % 12);
            const std::string addr = "a" + std::to_string(i) + "@example.com";
            Bytes data = {static_cast<uint8_t>(addr.size() + 1), slot};
            data.insert(data.end(), addr.begin(), addr.end());
            gui::Reply r = gui::Exchange(ep, gui::ConfigRequest(1, data));
            check(4, r.ok && r.body == (Bytes{2, 2, 1, 0x50}), "addr " + gui::Hex(r.body));
            r = gui::Exchange(ep, gui::ConfigRequest(2, {0, slot}));
            check(4, r.ok && r.body.size() == 6 + addr.size(), "read " + gui::Hex(r.body));
        }
    });
    for (auto& t : threads)
        t.join();
    for (const auto& f : failures)
        EXPECT_TRUE(f.empty()) << f.front();
    EXPECT_EQ(CountCtlr(), 3);
    EXPECT_EQ(ReadFile(dir.File("mailSrv.cfg")), "mx-29\nNULL\nNULL\nNULL\nNULL\nNULL\n");
    ctlr_test::ClearTable();
}

}  // namespace

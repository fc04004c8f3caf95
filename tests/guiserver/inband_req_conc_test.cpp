// The packages of one transfer never interleave with other requests to the same unit.
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "controller/CtlrChannel.h"
#include "controller/CtlrTestUtil.h"
#include "guiserver/InBandReq.h"
#include "protocol/SysStatus.h"
#include "support/FakeDevice.h"

using namespace testing_support;

namespace {

TEST(RelayConc, PackagesOfOneTransferStayTogether) {
    ctlr_test::ClearTable();
    ServerDirScope dir;
    FakeControllers fc(dir.path());
    fc.Add(0, 0, "RELAY-CONC-UNIT0");
    ctlr_test::SetEntry(0, "\\\\.\\Scsi0: ", "RELAY-CONC-UNIT0");

    auto conn = std::make_unique<GuiConn>();
    const uint32_t len = 18 + 6 + 40 * 3096;
    conn->lReqLen = len;
    conn->bLargeReq = 1;
    ASSERT_TRUE(conn->pLargeReq.Resize(len));
    uint8_t* b = conn->pLargeReq.Data();
    std::memset(b, 0x5C, len);
    b[0] = 2;
    b[1] = 1;
    std::memcpy(b + 2, "RELAY-CONC-UNIT0", 16);
    b[18] = 148;
    std::memcpy(conn->cReqBuf, b, GUI_INLINE_BUF_SIZE);

    std::atomic<bool> stop{false};
    std::vector<std::thread> others;
    for (int t = 0; t < 2; ++t)
        others.emplace_back([&, t] {
            uint8_t ev[32];
            uint8_t cmd[2] = {7, 0};
            while (!stop.load()) {
                if (t == 0)
                    CtlrDevIoControl(0, IOCTL_DTR_GET_INBAND_EVENT, 0, nullptr, 32, ev, nullptr);
                else
                    CtlrDevIoControl(0, IOCTL_DTR_INBAND_COMMAND, 2, cmd, 0, nullptr, nullptr);
            }
        });
    WaitFor([&] { return fc.device().CallCount() > 20; });
    EXPECT_EQ(HandleInBandReq(*conn, 0, nullptr), SYS_SUCCESS);
    stop = true;
    for (auto& t : others)
        t.join();

    auto calls = fc.device().Calls();
    int first = -1, last = -1, packages = 0;
    for (int i = 0; i < static_cast<int>(calls.size()); ++i)
        if (calls[i].Data(0) == 148 && calls[i].ControlCode() == IOCTL_DTR_INBAND_COMMAND) {
            if (first < 0) first = i;
            last = i;
            ++packages;
        }
    EXPECT_EQ(packages, 40);
    EXPECT_EQ(last - first + 1, packages) << "another request came between the packages";
    ctlr_test::ClearTable();
}

}  // namespace

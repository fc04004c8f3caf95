// The POSIX device transport: device path to socket, time-outs, refused devices.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/DevChannel.h"
#include "support/FakeDevice.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

constexpr uint32_t kBlock = 524316;

// One round trip through a device path; the system error on failure (0 on success).
int RoundTrip(const char* devName, const std::string& root, int timeoutMs = 5000) {
    plat::DevHandle h;
    int err = 0;
    if (!plat::DevOpen(devName, root.c_str(), h, &err)) return err;
    std::vector<uint8_t> block(kBlock, 0);
    block[0] = 28;
    plat::DevIoRequest req;
    req.ioctlCode = 0x4D008;
    req.block = block.data();
    req.blockSize = kBlock;
    req.sendLen = 28;
    req.keepLen = 28;
    req.timeoutMs = timeoutMs;
    const plat::DevIoResult r = plat::DevIoControl(h, req);
    return r.ok ? 0 : r.sysErr;
}

TEST(DevChannel, DevicePathNamesTheSocketOfItsPort) {
    TempDir root;
    FakeDevice dev(root.path());
    dev.AddPort(3);
    dev.AddPort(12);
    EXPECT_EQ(RoundTrip("\\\\.\\Scsi3: ", root.path()), 0);
    EXPECT_EQ(RoundTrip("\\\\.\\Scsi12:", root.path()), 0);
    EXPECT_EQ(RoundTrip("Scsi3", root.path()), 0);
    // A root given with its trailing separator (the root folder itself is "/").
    EXPECT_EQ(RoundTrip("Scsi3", root.path() + "/"), 0);
    auto calls = dev.Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].port, 3);
    EXPECT_EQ(calls[1].port, 12);
    EXPECT_EQ(calls[0].n, 28u);

    for (const char* bad :
         {"\\\\.\\Scsi4: ", "\\\\.\\: ", "\\\\.\\", "", "\\\\.\\a/b: ", "\\\\.\\../dev/Scsi3: "})
        EXPECT_EQ(RoundTrip(bad, root.path()), ENOENT) << bad;
    EXPECT_EQ(RoundTrip("\\\\.\\Scsi3: ", ""), ENOENT);
}

TEST(DevChannel, ReachesSocketsBeyondTheAddressLength) {
    TempDir base;
    std::string root = base.path();
    while (root.size() < 150) {
        root += "/a-rather-long-folder-name";
        ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    }
    FakeDevice dev(root);
    std::string dir = root + "/dev";
    // FakeDevice cannot bind there; a socket bound through the folder's descriptor stands in.
    int dfd = open(dir.c_str(), O_PATH | O_DIRECTORY);
    ASSERT_GE(dfd, 0);
    std::string via = "/proc/self/fd/" + std::to_string(dfd) + "/Scsi0";
    int lfd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, via.c_str(), via.size() + 1);
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(lfd, 4), 0);
    plat::DevHandle h;
    int err = 0;
    EXPECT_TRUE(plat::DevOpen("\\\\.\\Scsi0: ", root.c_str(), h, &err)) << err;
    close(lfd);
    close(dfd);
}

TEST(DevChannel, SocketWithoutADriverIsRefused) {
    TempDir root;
    std::string dir = root.File("dev");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::string path = dir + "/Scsi0";
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    close(fd);  // the file stays, nobody listens
    EXPECT_EQ(RoundTrip("\\\\.\\Scsi0: ", root.path()), ECONNREFUSED);
}

TEST(DevChannel, StuckDriverTimesOut) {
    TempDir root;
    FakeDevice dev(root.path());
    dev.AddPort(0);
    DevAnswer hang;
    hang.mode = DevAnswer::Mode::Hang;
    dev.SetHandler([hang](const DevCall&) { return hang; });
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(RoundTrip("\\\\.\\Scsi0: ", root.path(), 300), ETIMEDOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(290));
}

// A driver that answers a byte at a time, each well within the time-out, still cannot keep the
// call past it: the time-out bounds the whole call.
TEST(DevChannel, ADribblingDriverTimesOutTheWholeCall) {
    TempDir root;
    ASSERT_EQ(mkdir(root.File("dev").c_str(), 0755), 0);
    int lfd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const std::string path = root.File("dev") + "/Scsi0";
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(lfd, 4), 0);
    std::thread driver([lfd] {
        int c = accept(lfd, nullptr, nullptr);
        if (c < 0) return;
        uint8_t req[40];
        recv(c, req, sizeof req, MSG_WAITALL);               // the prefix and the 28-byte header
        const uint8_t head[8] = {0, 0, 0, 0, 100, 0, 0, 0};  // success, 100 bytes to come
        send(c, head, sizeof head, MSG_NOSIGNAL);
        const uint8_t byte = 0;
        // At most 50 bytes, 100 ms apart: it stops once the caller has closed.
        for (int i = 0; i < 50 && send(c, &byte, 1, MSG_NOSIGNAL) == 1; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        close(c);
    });
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(RoundTrip("\\\\.\\Scsi0: ", root.path(), 1000), ETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(4000));
    driver.join();
    close(lfd);
}

TEST(DevChannel, DriverResultIsTheSystemError) {
    TempDir root;
    FakeDevice dev(root.path());
    dev.AddPort(0);
    DevAnswer a;
    a.result = 1117;
    dev.SetHandler([a](const DevCall&) { return a; });
    EXPECT_EQ(RoundTrip("\\\\.\\Scsi0: ", root.path()), 1117);
}

}  // namespace

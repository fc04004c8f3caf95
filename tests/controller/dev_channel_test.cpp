// The POSIX device transport: device path to socket, time-outs, refused devices.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
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
    if (!plat::DevIoControl(h, 0x4D008, block.data(), kBlock, 28, 28, timeoutMs, &err)) return err;
    return 0;
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

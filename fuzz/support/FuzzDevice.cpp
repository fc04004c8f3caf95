#include "support/FuzzDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/FdIo.h"
#include "protocol/ByteOrder.h"
#include "protocol/DeviceCodes.h"

namespace fuzz {

namespace {

// The event codes of the primary unit and secondary units 1-3, by unit.
constexpr uint32_t kCodeEvent[4] = {IOCTL_DTR_GET_INBAND_EVENT, IOCTL_DTR_GET_INBAND_EVENT_S1,
                                    IOCTL_DTR_GET_INBAND_EVENT_S2, IOCTL_DTR_GET_INBAND_EVENT_S3};
constexpr uint32_t kResultInvalid = 22;  // EINVAL
constexpr uint32_t kResultNoUnit = 19;   // ENODEV
constexpr uint32_t kResultIo = 5;        // EIO

void PutText(uint8_t* at, size_t max, const std::string& s) {
    std::memcpy(at, s.data(), std::min(max, s.size()));
}

}  // namespace

FuzzDevice::FuzzDevice(const std::string& root)
    : dir_(root + "/dev"), block_(new uint8_t[SRB_BUF_SIZE]()) {
    mkdir(dir_.c_str(), 0755);
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("pipe2");
        std::abort();
    }
}

FuzzDevice::~FuzzDevice() {
    stop_ = true;
    char c = 1;
    (void)!write(wake_[1], &c, 1);
    if (thread_.joinable()) thread_.join();
    for (auto [port, fd] : listeners_) {
        close(fd);
        unlink((dir_ + "/Scsi" + std::to_string(port)).c_str());
    }
    close(wake_[0]);
    close(wake_[1]);
}

void FuzzDevice::AddUnit(int port, int unit, const std::string& serial) {
    Unit u;
    PutText(u.ident, 7, "KELDRAN");
    PutText(u.ident + 16, 16, "FUZZ MODEL TEXT.");
    PutText(u.ident + 32, 16, "FUZZ-FALLBACK-SN");
    u.ident[80] = 0x12;
    u.ident[81] = 0x34;
    u.ident[95] = 0x5F;
    u.ident[107] = 0x6B;
    PutText(u.ident + 112, 16, "FUZZ FIRMWARE...");
    u.ident[264] = 1;
    PutText(u.ident + 352, 19, serial);
    u.page20 = static_cast<uint8_t>(0x20 + port * 4 + unit);
    units_[port][unit & 3] = u;
    if (listeners_.count(port) != 0) return;

    const std::string path = dir_ + "/Scsi" + std::to_string(port);
    unlink(path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof a.sun_path) {
        std::fprintf(stderr, "FuzzDevice: cannot serve %s\n", path.c_str());
        std::abort();
    }
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 64) != 0) {
        std::fprintf(stderr, "FuzzDevice: cannot serve %s: %s\n", path.c_str(),
                     std::strerror(errno));
        std::abort();
    }
    listeners_[port] = fd;
}

void FuzzDevice::Start() {
    thread_ = std::thread([this] { Loop(); });
}

FuzzDevice::Unit* FuzzDevice::Find(int port, int unit) {
    auto p = units_.find(port);
    if (p == units_.end()) return nullptr;
    auto u = p->second.find(unit);
    return u == p->second.end() ? nullptr : &u->second;
}

void FuzzDevice::Loop() {
    // The ports and units are all added before Start: the thread only reads them.
    std::vector<pollfd> fds;
    std::vector<int> ports;
    for (auto [port, fd] : listeners_) {
        fds.push_back({fd, POLLIN, 0});
        ports.push_back(port);
    }
    fds.push_back({wake_[0], POLLIN, 0});
    while (!stop_.load()) {
        if (poll(fds.data(), fds.size(), -1) <= 0) continue;
        for (size_t i = 0; i + 1 < fds.size(); ++i) {
            if ((fds[i].revents & POLLIN) == 0) continue;
            int c = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            Serve(c, ports[i]);
            close(c);
        }
    }
}

void FuzzDevice::Serve(int fd, int port) {
    // A caller that stops sending or reading never holds the driver up for long.
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    uint8_t prefix[12];
    if (!fdio::RecvAll(fd, prefix, sizeof prefix)) return;
    ++calls_;
    uint8_t head[8] = {};
    const uint32_t n = GetLe32(prefix + 8);
    if (GetLe32(prefix) != IOCTL_SCSI_MINIPORT || GetLe32(prefix + 4) != SRB_BUF_SIZE ||
        n < SRB_HEADER_SIZE || n > SRB_BUF_SIZE) {
        PutLe32(head, kResultInvalid);
        fdio::SendAll(fd, head, sizeof head);
        return;
    }
    uint8_t* block = block_.get();
    if (!fdio::RecvAll(fd, block, n)) return;
    // The answer covers the request and the answer size the block's Length field asks for.
    const uint32_t length = std::min(GetLe32(block + 24), SRB_BUF_SIZE - SRB_HEADER_SIZE);
    const uint32_t n2 = std::max(n, SRB_HEADER_SIZE + length);
    std::memset(block + n, 0, n2 - n);
    uint8_t* data = block + SRB_HEADER_SIZE;
    const uint32_t code = GetLe32(block + 16);

    int unit = -1;
    bool isEvent = false;
    for (int i = 0; i < 4; ++i)
        if (code == kCodeEvent[i]) {
            unit = i;
            isEvent = true;
        }
    uint32_t result = 0;
    uint32_t returnCode = 0;
    if (!isEvent && code != IOCTL_DTR_INBAND_COMMAND) {
        result = kResultInvalid;
    } else {
        if (!isEvent) unit = (data[1] >> 5) & 3;
        Unit* u = Find(port, unit);
        if (u == nullptr) {
            result = kResultNoUnit;
        } else if (isEvent) {
            // Every second fetch delivers an event: a disk of array 0 goes offline.
            if (++u->fetches % 2 == 0 && length >= 32) {
                std::memset(data, 0, 32);
                data[0] = 3;
                data[3] = static_cast<uint8_t>(u->fetches);
                data[4] = 1;
                returnCode = 1;
            }
        } else {
            switch (data[0]) {
                case 1:
                    if (data[2] == 0 && length >= 515) {
                        std::memcpy(data + 3, u->ident, sizeof u->ident);
                    } else if (data[2] == 20 && length >= 7) {
                        data[6] = u->page20;
                    } else {
                        returnCode = 0x00100001;
                    }
                    break;
                case 0xEE:
                    returnCode = 0x00420001;
                    break;
                case 0xEF:
                    result = kResultIo;
                    break;
                case 0xED:
                    return;  // closes without an answer
                default:
                    break;
            }
        }
    }
    PutLe32(head, result);
    PutLe32(head + 4, result != 0 ? 0 : n2);
    if (!fdio::SendAll(fd, head, sizeof head) || result != 0) return;
    PutLe32(block + 20, returnCode);
    fdio::SendAll(fd, block, n2);
}

}  // namespace fuzz

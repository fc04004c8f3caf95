#include "support/FakeDevice.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <list>

#include "common/FdIo.h"
#include "protocol/ByteOrder.h"

namespace testing_support {

uint32_t DevCall::Field(uint32_t off) const {
    uint8_t b[4] = {};
    for (uint32_t i = 0; i < 4; ++i)
        if (off + i < block.size()) b[i] = block[off + i];
    return GetLe32(b);
}

std::vector<uint8_t> DevCall::DataBytes(size_t from, size_t count) const {
    std::vector<uint8_t> v(count);
    for (size_t i = 0; i < count; ++i)
        v[i] = Data(from + i);
    return v;
}

struct FakeDevice::Impl {
    std::string dir;
    mutable std::mutex mu;
    std::map<int, int> listeners;  // port -> listening socket (non-blocking)
    DevHandler handler;
    std::vector<DevCall> calls;
    std::map<int, int> inFlight, maxInFlight;
    std::list<std::thread> workers;
    std::thread acceptor;
    int wake[2] = {-1, -1};
    std::atomic<bool> stop{false};

    void Wake() {
        char c = 1;
        (void)!write(wake[1], &c, 1);
    }

    void AcceptLoop() {
        while (!stop.load()) {
            std::vector<pollfd> fds;
            std::vector<int> ports;
            {
                std::lock_guard<std::mutex> lock(mu);
                for (auto [port, fd] : listeners) {
                    fds.push_back({fd, POLLIN, 0});
                    ports.push_back(port);
                }
            }
            fds.push_back({wake[0], POLLIN, 0});
            int r = poll(fds.data(), fds.size(), 1000);
            if (stop.load()) return;
            if (r <= 0) continue;
            if (fds.back().revents != 0) {
                char c[16];
                while (read(wake[0], c, sizeof c) > 0) {
                }
            }
            for (size_t i = 0; i + 1 < fds.size(); ++i) {
                if ((fds[i].revents & POLLIN) == 0) continue;
                std::lock_guard<std::mutex> lock(mu);
                // The port may have gone meanwhile; its socket is then closed.
                auto it = listeners.find(ports[i]);
                if (it == listeners.end() || it->second != fds[i].fd) continue;
                int c = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0) continue;
                int port = ports[i];
                workers.emplace_back([this, c, port] { Serve(c, port); });
            }
        }
    }

    void Serve(int fd, int port) {
        timeval tv{30, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        uint8_t prefix[12];
        DevCall call;
        call.port = port;
        if (!fdio::RecvAll(fd, prefix, sizeof prefix)) {
            close(fd);
            return;
        }
        call.ioctl = GetLe32(prefix);
        call.blockSize = GetLe32(prefix + 4);
        call.n = GetLe32(prefix + 8);
        if (call.n > (1u << 24)) {
            close(fd);
            return;
        }
        call.block.resize(call.n);
        if (!fdio::RecvAll(fd, call.block.data(), call.n)) {
            close(fd);
            return;
        }
        DevHandler h;
        {
            std::lock_guard<std::mutex> lock(mu);
            calls.push_back(call);
            int now = ++inFlight[port];
            maxInFlight[port] = std::max(maxInFlight[port], now);
            h = handler;
        }
        DevAnswer a = h ? h(call) : DevAnswer{};
        if (a.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(a.delayMs));
        {
            std::lock_guard<std::mutex> lock(mu);
            --inFlight[port];
        }
        if (a.mode == DevAnswer::Mode::Hang) {
            uint8_t sink[256];
            while (!stop.load()) {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 100) > 0 && recv(fd, sink, sizeof sink, 0) <= 0) break;
            }
            close(fd);
            return;
        }
        if (a.mode == DevAnswer::Mode::NoReply) {
            close(fd);
            return;
        }
        const uint32_t n2 =
            a.n2 ? *a.n2 : (a.result != 0 ? 0 : 28 + static_cast<uint32_t>(a.data.size()));
        // The answer block: the request as it came (a driver hands the block back), with the
        // return code and the answer data written over it.
        std::vector<uint8_t> out(8 + std::max<size_t>({28 + a.data.size(), n2, call.block.size()}),
                                 0);
        PutLe32(out.data(), a.result);
        PutLe32(out.data() + 4, n2);
        std::copy(call.block.begin(), call.block.end(), out.begin() + 8);
        PutLe32(out.data() + 8 + 20, a.returnCode);
        std::copy(a.data.begin(), a.data.end(), out.begin() + 8 + 28);
        size_t len = a.result != 0 ? 8 : 8 + static_cast<size_t>(n2);
        if (a.mode == DevAnswer::Mode::ShortHeader) len = 5;
        if (a.mode == DevAnswer::Mode::ShortBody) len = 8 + (len - 8) / 2;
        fdio::SendAll(fd, out.data(), std::min(len, out.size()));
        close(fd);
    }

    std::string PathOf(int port) const { return dir + "/Scsi" + std::to_string(port); }
};

FakeDevice::FakeDevice(std::string root) : impl_(std::make_unique<Impl>()) {
    impl_->dir = root + "/dev";
    mkdir(impl_->dir.c_str(), 0755);
    if (pipe2(impl_->wake, O_CLOEXEC | O_NONBLOCK) != 0) return;
    impl_->acceptor = std::thread([this] { impl_->AcceptLoop(); });
}

FakeDevice::~FakeDevice() {
    impl_->stop = true;
    impl_->Wake();
    if (impl_->acceptor.joinable()) impl_->acceptor.join();
    std::list<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        workers.swap(impl_->workers);
        for (auto [port, fd] : impl_->listeners) {
            close(fd);
            unlink(impl_->PathOf(port).c_str());
        }
        impl_->listeners.clear();
    }
    for (auto& t : workers)
        t.join();
    close(impl_->wake[0]);
    close(impl_->wake[1]);
}

void FakeDevice::AddPort(int port) {
    const std::string path = impl_->PathOf(port);
    unlink(path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof a.sun_path) {
        ADD_FAILURE() << "cannot serve " << path;
        if (fd >= 0) close(fd);
        return;
    }
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 128) != 0) {
        ADD_FAILURE() << "cannot serve " << path << ": " << std::strerror(errno);
        close(fd);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        auto it = impl_->listeners.find(port);
        if (it != impl_->listeners.end()) close(it->second);
        impl_->listeners[port] = fd;
    }
    impl_->Wake();
}

void FakeDevice::RemovePort(int port) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    auto it = impl_->listeners.find(port);
    if (it == impl_->listeners.end()) return;
    close(it->second);
    unlink(impl_->PathOf(port).c_str());
    impl_->listeners.erase(it);
    impl_->Wake();
}

void FakeDevice::SetHandler(DevHandler h) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->handler = std::move(h);
}

std::vector<DevCall> FakeDevice::Calls() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->calls;
}

size_t FakeDevice::CallCount() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->calls.size();
}

void FakeDevice::ClearCalls() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->calls.clear();
}

int FakeDevice::MaxInFlight(int port) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    auto it = impl_->maxInFlight.find(port);
    return it == impl_->maxInFlight.end() ? 0 : it->second;
}

std::array<uint8_t, 512> MakeIdent(const std::string& serial, const std::string& signature,
                                   uint8_t vendorType, const std::string& fallback) {
    std::array<uint8_t, 512> b{};
    auto put = [&](size_t off, size_t max, const std::string& s) {
        std::memcpy(b.data() + off, s.data(), std::min(max, s.size()));
    };
    put(0, 7, signature);
    put(16, 16, "MODEL-TEXT-16...");
    put(32, 16, fallback);
    b[80] = 0x12;
    b[81] = 0x34;
    b[95] = 0x5F;
    b[107] = 0x6B;
    put(112, 16, "FIRMWARE-TEXT...");
    b[264] = 0x07;
    b[265] = vendorType;
    put(352, 19, serial);
    return b;
}

FakeControllers::FakeControllers(std::string root) : dev_(std::move(root)) {
    dev_.SetHandler([this](const DevCall& c) { return Answer(c); });
}

FakeUnit& FakeControllers::Add(int port, int unit, const std::string& serial) {
    bool newPort = false;
    FakeUnit* u;
    {
        std::lock_guard<std::mutex> lock(mu_);
        newPort = ports_.count(port) == 0;
        auto& slot = ports_[port][unit & 3];
        slot = FakeUnit{};
        slot->ident = MakeIdent(serial);
        slot->page20 = static_cast<uint8_t>(0x20 + port * 4 + unit);
        u = &*slot;
    }
    if (newPort) dev_.AddPort(port);
    return *u;
}

void FakeControllers::Remove(int port, int unit) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = ports_.find(port);
    if (it != ports_.end()) it->second[unit & 3].reset();
}

void FakeControllers::RemovePort(int port) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        ports_.erase(port);
    }
    dev_.RemovePort(port);
}

void FakeControllers::SetCommandHook(
    std::function<std::optional<DevAnswer>(const DevCall&, int unit)> hook) {
    std::lock_guard<std::mutex> lock(mu_);
    hook_ = std::move(hook);
}

FakeUnit* FakeControllers::Unit(int port, int unit) {
    auto it = ports_.find(port);
    if (it == ports_.end() || !it->second[unit & 3]) return nullptr;
    return &*it->second[unit & 3];
}

DevAnswer FakeControllers::Answer(const DevCall& call) {
    DevAnswer a = Firmware(call);
    if (a.delayMs == 0) a.delayMs = delayMs_.load();
    return a;
}

DevAnswer FakeControllers::Firmware(const DevCall& call) {
    static constexpr uint32_t kEventCodes[4] = {0x9C40242C, 0x9C40246C, 0x9C402470, 0x9C402474};
    const uint32_t code = call.ControlCode();
    int unit = -1;
    bool isEvent = false;
    for (int i = 0; i < 4; ++i)
        if (code == kEventCodes[i]) {
            unit = i;
            isEvent = true;
        }
    if (!isEvent) unit = (call.Data(1) >> 5) & 3;
    std::function<std::optional<DevAnswer>(const DevCall&, int)> hook;
    {
        std::lock_guard<std::mutex> lock(mu_);
        hook = hook_;
    }
    if (hook && !isEvent) {
        std::optional<DevAnswer> a = hook(call, unit);
        if (a) return *a;
    }
    std::lock_guard<std::mutex> lock(mu_);
    FakeUnit* u = Unit(call.port, unit);
    DevAnswer a;
    if (u == nullptr) {
        a.result = 19;  // ENODEV
        return a;
    }
    if (isEvent) {
        if (!u->events.empty()) {
            a.returnCode = 1;
            a.data.assign(u->events.front().begin(), u->events.front().end());
            u->events.pop_front();
        }
        return a;
    }
    if (code != 0x9C402400) {
        a.result = 22;
        return a;
    }
    if (call.Data(0) == 1) {
        std::vector<uint8_t> answer(515, 0);
        answer[0] = call.Data(0);
        answer[1] = call.Data(1);
        answer[2] = call.Data(2);
        if (call.Data(2) == 0) {
            if (u->identifyFails) {
                a.returnCode = 0x00100001;
                return a;
            }
            std::copy(u->ident.begin(), u->ident.end(), answer.begin() + 3);
        } else if (call.Data(2) == 20) {
            if (u->page20Fails) {
                a.returnCode = 0x00140001;
                return a;
            }
            answer[6] = u->page20;
        }
        a.data = answer;
    }
    return a;
}

}  // namespace testing_support

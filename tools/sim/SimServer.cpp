#include "SimServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/FdIo.h"
#include "protocol/ByteOrder.h"

namespace sim {

namespace {

constexpr int kMaxWorkersPerPort = 64;
constexpr int kIoTimeoutMs = 30000;  // a client that stops sending or reading is dropped
constexpr uint32_t kFirmwareScratch = SRB_HEADER_SIZE + 1024;  // bytes the firmware may write

void SetIoTimeouts(int fd, int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// Fills `a` for `path`; a path too long for a socket address is reached through its folder,
// opened into *dirFd (the caller closes it after the call).
bool SockAddrFor(const std::string& path, sockaddr_un* a, int* dirFd) {
    *dirFd = -1;
    std::memset(a, 0, sizeof *a);
    a->sun_family = AF_UNIX;
    if (path.size() < sizeof a->sun_path) {
        std::memcpy(a->sun_path, path.c_str(), path.size() + 1);
        return true;
    }
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return false;
    *dirFd = open(path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (*dirFd < 0) return false;
    std::string viaFd = "/proc/self/fd/" + std::to_string(*dirFd) + path.substr(slash);
    if (viaFd.size() >= sizeof a->sun_path) return false;
    std::memcpy(a->sun_path, viaFd.c_str(), viaFd.size() + 1);
    return true;
}

int ListenUnix(const std::string& path, std::string* err) {
    unlink(path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    sockaddr_un a;
    int dirFd = -1;
    bool ok = SockAddrFor(path, &a, &dirFd);
    if (!ok || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 ||
        listen(fd, SOMAXCONN) < 0) {
        *err = path + ": " + (ok ? std::strerror(errno) : "path too long");
        if (dirFd >= 0) close(dirFd);
        close(fd);
        return -1;
    }
    if (dirFd >= 0) close(dirFd);
    return fd;
}

}  // namespace

struct SimServer::Listener {
    int port = 0;
    int fd = -1;
    std::atomic<bool> closed{false};
    std::atomic<int> idle{0};
    std::atomic<int> total{0};
    ~Listener() {
        if (fd >= 0) close(fd);
    }
};

std::string SocketPath(const std::string& dir, const std::string& name) {
    return dir + "/" + name;
}

SimServer::SimServer(SimDevice& dev, std::string dir, bool verbose)
    : dev_(dev), dir_(std::move(dir)), verbose_(verbose) {}

SimServer::~SimServer() = default;

void SimServer::PortChanged(int port, bool exists, bool refusing) {
    std::lock_guard<std::mutex> lock(mu_);
    const std::string path = SocketPath(dir_, "Scsi" + std::to_string(port));
    auto it = listeners_.find(port);
    if (it != listeners_.end()) {
        // Workers leave accept when the socket is shut down; the last one closes it. The socket
        // file stays while the port refuses, so that connecting fails with ECONNREFUSED.
        it->second->closed = true;
        shutdown(it->second->fd, SHUT_RDWR);
        listeners_.erase(it);
    }
    if (!exists) {
        unlink(path.c_str());
        return;
    }
    if (refusing) return;
    std::string err;
    int fd = ListenUnix(path, &err);
    if (fd < 0) {
        std::fprintf(stderr, "pellomar-sim: port %d: %s\n", port, err.c_str());
        return;
    }
    auto l = std::make_shared<Listener>();
    l->port = port;
    l->fd = fd;
    listeners_[port] = l;
    StartWorker(l);
    StartWorker(l);
}

void SimServer::StartWorker(const std::shared_ptr<Listener>& l) {
    if (l->total.load() >= kMaxWorkersPerPort) return;
    l->total.fetch_add(1);
    l->idle.fetch_add(1);
    try {
        std::thread([this, l] { WorkerLoop(l); }).detach();
    } catch (const std::system_error&) {
        l->total.fetch_sub(1);
        l->idle.fetch_sub(1);
    }
}

void SimServer::WorkerLoop(std::shared_ptr<Listener> l) {
    auto* buf = static_cast<uint8_t*>(std::calloc(1, SRB_BUF_SIZE));
    uint32_t dirty = 0;
    while (buf != nullptr) {
        int c = accept4(l->fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            if (l->closed.load()) break;
            if (errno == EINTR || errno == ECONNABORTED) continue;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));  // out of descriptors
            continue;
        }
        // The last idle worker took this call: another one waits for the next.
        if (l->idle.fetch_sub(1) == 1) StartWorker(l);
        ServeCall(l->port, c, buf, &dirty);
        close(c);
        l->idle.fetch_add(1);
    }
    std::free(buf);
    l->idle.fetch_sub(1);
    l->total.fetch_sub(1);
}

void SimServer::ServeCall(int port, int fd, uint8_t* block, uint32_t* dirty) {
    SetIoTimeouts(fd, kIoTimeoutMs);
    uint8_t prefix[12];
    if (!fdio::RecvAll(fd, prefix, sizeof prefix)) return;
    const uint32_t code = GetLe32(prefix), size = GetLe32(prefix + 4), n = GetLe32(prefix + 8);
    uint8_t head[8] = {};
    if (code != IOCTL_SCSI_MINIPORT || size != SRB_BUF_SIZE || n < SRB_HEADER_SIZE ||
        n > SRB_BUF_SIZE) {
        PutLe32(head, kResultInvalid);
        fdio::SendAll(fd, head, sizeof head);
        return;
    }
    // Bytes past n are zero for the firmware.
    std::memset(block, 0, *dirty);
    *dirty = n;
    if (!fdio::RecvAll(fd, block, n)) return;
    Answer a = dev_.Handle(port, block, n);
    *dirty = std::max({*dirty, a.n2, kFirmwareScratch});
    if (verbose_)
        std::fprintf(stderr,
                     "pellomar-sim: port %d code 0x%08x cmd %u Length %u -> result %u "
                     "ReturnCode 0x%x n2 %u\n",
                     port, GetLe32(block + kOffControlCode), block[SRB_HEADER_SIZE],
                     GetLe32(block + kOffLength), a.result, GetLe32(block + kOffReturnCode),
                     a.result ? 0 : a.n2);
    if (a.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(a.delayMs));
    if (a.close == Answer::Close::NoReply) return;
    PutLe32(head, a.result);
    PutLe32(head + 4, a.result != 0 ? 0 : a.n2);
    if (a.result != 0) {
        fdio::SendAll(fd, head, sizeof head);
        return;
    }
    if (a.close == Answer::Close::MidReply) {
        fdio::SendAll(fd, head, sizeof head);
        fdio::SendAll(fd, block, a.n2 / 2);
        return;
    }
    iovec iov[2] = {{head, sizeof head}, {block, a.n2}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    ssize_t sent = sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (sent >= 0 && static_cast<size_t>(sent) < sizeof head + a.n2) {
        size_t done = static_cast<size_t>(sent);
        if (done < sizeof head) {
            if (!fdio::SendAll(fd, head + done, sizeof head - done)) return;
            done = sizeof head;
        }
        fdio::SendAll(fd, block + (done - sizeof head), a.n2 - (done - sizeof head));
    }
}

bool SimServer::StartControl(std::string* err) {
    int fd = ListenUnix(SocketPath(dir_, kControlSocketName), err);
    if (fd < 0) return false;
    controlFd_ = fd;
    std::thread([this, fd] { ControlLoop(fd); }).detach();
    return true;
}

void SimServer::ControlLoop(int lfd) {
    for (;;) {
        int c = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        SetIoTimeouts(c, 5000);
        std::string text;
        char chunk[4096];
        while (text.size() < (1u << 20) && text.find('\n') == std::string::npos) {
            ssize_t r = recv(c, chunk, sizeof chunk, 0);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            text.append(chunk, static_cast<size_t>(r));
        }
        std::string out = ControlReplyLine(dev_, text);
        fdio::SendAll(c, reinterpret_cast<const uint8_t*>(out.data()), out.size());
        close(c);
    }
}

std::string ControlReplyLine(SimDevice& dev, const std::string& text) {
    json reply;
    json req = json::parse(text, nullptr, false);
    if (req.is_discarded())
        reply = {{"ok", false}, {"error", "the request is not JSON"}};
    else
        reply = dev.Control(req);
    // A unit's texts are bytes of its identify block, which identify_patch may make anything:
    // bytes that are not UTF-8 are sent as U+FFFD, never thrown out of the control thread.
    return reply.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

void SimServer::RemoveSockets() {
    std::lock_guard<std::mutex> lock(mu_);
    for (int port : dev_.PortNumbers())
        unlink(SocketPath(dir_, "Scsi" + std::to_string(port)).c_str());
    for (const auto& [port, l] : listeners_)
        unlink(SocketPath(dir_, "Scsi" + std::to_string(port)).c_str());
    unlink(SocketPath(dir_, kControlSocketName).c_str());
}

json ControlRequest(const std::string& dir, const json& req, int timeoutMs) {
    auto fail = [](const std::string& why) { return json{{"ok", false}, {"error", why}}; };
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(std::strerror(errno));
    SetIoTimeouts(fd, timeoutMs);
    sockaddr_un a;
    int dirFd = -1;
    const std::string path = SocketPath(dir, kControlSocketName);
    if (!SockAddrFor(path, &a, &dirFd) ||
        connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
        std::string why = path + ": " + std::strerror(errno);
        if (dirFd >= 0) close(dirFd);
        close(fd);
        return fail(why + " (is pellomar-sim running with --dir " + dir + "?)");
    }
    if (dirFd >= 0) close(dirFd);
    std::string out = req.dump() + "\n";
    std::string text;
    if (fdio::SendAll(fd, reinterpret_cast<const uint8_t*>(out.data()), out.size())) {
        shutdown(fd, SHUT_WR);
        char chunk[65536];
        for (;;) {
            ssize_t r = recv(fd, chunk, sizeof chunk, 0);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            text.append(chunk, static_cast<size_t>(r));
        }
    }
    close(fd);
    json reply = json::parse(text, nullptr, false);
    if (reply.is_discarded()) return fail("no reply from pellomar-sim");
    return reply;
}

}  // namespace sim

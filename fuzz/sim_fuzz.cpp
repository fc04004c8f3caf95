// pellomar-sim (tools/sim): its control requests and its device transport.
//
// Input: control text, then optionally a NUL byte and one transport request (the 12-byte prefix
// and the request block, as the agent sends it to DIR/ScsiN).
//  - The control text configures a fresh SimDevice as a --config file would (LoadConfig), then
//    each of its lines goes to the device as one control request through ControlReplyLine, as
//    the control socket hands it on; the transport request then goes to that device's Handle.
//  - The transport request also goes, through a socket, to a SimServer serving a device that no
//    control request ever changes (so that no injected delay holds it up).
//
// Checks: every control reply is one line of JSON with "ok"; every answer of the device has a
// length within the block; the server answers a whole, well-formed answer or none.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "protocol/ByteOrder.h"
#include "protocol/DeviceCodes.h"
#include "sim/SimDevice.h"
#include "sim/SimServer.h"
#include "support/FuzzSupport.h"

namespace {

using sim::json;

const char kBaseConfig[] = R"({
  "ports": [
    {"port": 0, "units": [{"unit": 0, "serial": "SN0001"}, {"unit": 1, "serial": "SN0002",
      "events": ["0300000501", "04"]}]},
    {"port": 2, "units": [{"unit": 0, "serial": "SN0003", "signature": "Vostrel"}]}
  ]
})";

struct Served {
    std::unique_ptr<sim::SimDevice> dev;
    std::unique_ptr<sim::SimServer> server;
    std::string socketPath;
};

Served& Server() {
    static Served* s = [] {
        auto* p = new Served;
        const std::string dir = fuzz::MakeTempFolder("sim");
        p->dev = std::make_unique<sim::SimDevice>();
        p->server = std::make_unique<sim::SimServer>(*p->dev, dir, false);
        p->dev->SetPortListener([srv = p->server.get()](int port, bool exists, bool refusing) {
            srv->PortChanged(port, exists, refusing);
        });
        std::string err;
        FUZZ_CHECK(p->dev->LoadConfig(json::parse(kBaseConfig), &err));
        p->socketPath = sim::SocketPath(dir, "Scsi0");
        return p;
    }();
    return *s;
}

void CheckReplyLine(const std::string& line) {
    FUZZ_CHECK(!line.empty() && line.back() == '\n');
    FUZZ_CHECK(line.find('\n') == line.size() - 1);
    const json reply = json::parse(line, nullptr, false);
    FUZZ_CHECK(!reply.is_discarded());
    FUZZ_CHECK(reply.is_object() && reply.contains("ok") && reply.at("ok").is_boolean());
}

// The transport request through the server's socket; checks its answer.
void ThroughSocket(const uint8_t* req, size_t size) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(fd >= 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const std::string& path = Server().socketPath;
    FUZZ_CHECK(path.size() < sizeof a.sun_path);
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    FUZZ_CHECK(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0);
    // The server may answer before it has read everything (and then close): a failed send is
    // no fault.
    size_t off = 0;
    while (off < size) {
        ssize_t n = send(fd, req + off, size - off, MSG_NOSIGNAL);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    std::vector<uint8_t> answer;
    uint8_t buf[65536];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        answer.insert(answer.end(), buf, buf + n);
    }
    close(fd);
    if (answer.empty()) return;  // a request cut short gets no answer
    FUZZ_CHECK(answer.size() >= 8);
    const uint32_t result = GetLe32(answer.data());
    const uint32_t n2 = GetLe32(answer.data() + 4);
    if (result != 0) {
        FUZZ_CHECK(n2 == 0 && answer.size() == 8);
        return;
    }
    FUZZ_CHECK(n2 >= SRB_HEADER_SIZE && n2 <= SRB_BUF_SIZE);
    FUZZ_CHECK(answer.size() == 8 + size_t{n2});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const json base = json::parse(kBaseConfig);
    static std::unique_ptr<uint8_t[]> block(new uint8_t[SRB_BUF_SIZE]());

    const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const std::string control(reinterpret_cast<const char*>(data),
                              nul != nullptr ? static_cast<size_t>(nul - data) : size);

    sim::SimDevice dev;
    std::string err;
    FUZZ_CHECK(dev.LoadConfig(base, &err));
    const json cfg = json::parse(control, nullptr, false, true);
    if (!cfg.is_discarded()) dev.LoadConfig(cfg, &err);
    size_t start = 0;
    for (int k = 0; k < 16 && start < control.size(); ++k) {
        size_t end = control.find('\n', start);
        if (end == std::string::npos) end = control.size();
        CheckReplyLine(sim::ControlReplyLine(dev, control.substr(start, end - start)));
        start = end + 1;
    }
    if (dev.ScenarioEnabled()) {
        dev.ScenarioNextDelayMs();
        dev.ScenarioStep();
    }

    if (nul == nullptr) return 0;
    const uint8_t* req = nul + 1;
    const size_t reqSize = size - static_cast<size_t>(req - data);
    ThroughSocket(req, reqSize);

    // The same request straight to the configured device, as the server hands it on.
    if (reqSize < 12) return 0;
    const uint32_t n = GetLe32(req + 8);
    if (GetLe32(req) != IOCTL_SCSI_MINIPORT || GetLe32(req + 4) != SRB_BUF_SIZE ||
        n < SRB_HEADER_SIZE || n > SRB_BUF_SIZE || reqSize - 12 < n)
        return 0;
    std::memcpy(block.get(), req + 12, n);
    const sim::Answer a = dev.Handle(0, block.get(), n);
    if (a.result == 0) FUZZ_CHECK(a.n2 >= SRB_HEADER_SIZE && a.n2 <= SRB_BUF_SIZE);
    // Back to zeros: what the request and the answer covered, and what the firmware may write.
    const uint32_t dirty = std::max({n, a.n2, SRB_HEADER_SIZE + 1024});
    std::memset(block.get(), 0, std::min(dirty, SRB_BUF_SIZE));
    return 0;
}

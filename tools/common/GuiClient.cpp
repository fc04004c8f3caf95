#include "GuiClient.h"

#include "HexText.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "platform/Socket.h"
#include "protocol/GuiFrame.h"
#include "protocol/SysStatus.h"

namespace gui {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Sends all of b before the deadline; false with the reason in err otherwise.
bool SendAll(plat::SockFd s, const Bytes& b, Clock::time_point deadline, std::string* err) {
    size_t off = 0;
    while (off < b.size()) {
        size_t chunk = std::min<size_t>(b.size() - off, 1 << 20);
        int n = plat::SockSendTimeout(s, b.data() + off, static_cast<int>(chunk),
                                      RemainingMs(deadline));
        if (n == -2) {
            *err = "timed out while sending the request";
            return false;
        }
        if (n <= 0) {
            *err = "connection lost while sending the request";
            return false;
        }
        off += static_cast<size_t>(n);
    }
    return true;
}

// Reads exactly n bytes; false on close, error or time-out (reason in err).
bool RecvExact(plat::SockFd s, uint8_t* p, size_t n, Clock::time_point deadline, std::string* err) {
    size_t got = 0;
    while (got < n) {
        int r =
            plat::SockRecvTimeout(s, p + got, static_cast<int>(std::min<size_t>(n - got, 1 << 20)),
                                  RemainingMs(deadline));
        if (r == -2) {
            *err = "timed out waiting for the reply";
            return false;
        }
        if (r < 0) {
            *err = "connection reset";
            return false;
        }
        if (r == 0) {
            *err =
                got == 0 && n == 5 ? "closed without a reply" : "closed in the middle of the reply";
            return false;
        }
        got += static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

Bytes Frame(const Bytes& body) {
    Bytes f(5 + body.size());
    uint32_t n = static_cast<uint32_t>(body.size());
    f[0] = GUI_PHASE_HEADER;
    f[1] = static_cast<uint8_t>(n);
    f[2] = static_cast<uint8_t>(n >> 8);
    f[3] = static_cast<uint8_t>(n >> 16);
    f[4] = static_cast<uint8_t>(n >> 24);
    std::copy(body.begin(), body.end(), f.begin() + 5);
    return f;
}

Reply Exchange(const Endpoint& ep, const Bytes& body) {
    Reply r;
    auto deadline = Clock::now() + std::chrono::milliseconds(ep.timeoutMs);
    char err[256] = {};
    plat::Socket s(plat::SockTcpConnect(ep.host.c_str(), ep.port, ep.timeoutMs, err, sizeof err));
    if (!s.Valid()) {
        r.error = err;
        return r;
    }
    if (!SendAll(s.Get(), Frame(body), deadline, &r.error)) return r;
    uint8_t hdr[5];
    if (!RecvExact(s.Get(), hdr, 5, deadline, &r.error)) return r;
    if (hdr[0] != GUI_PHASE_HEADER) {
        r.error = "reply header does not start with 0x01";
        return r;
    }
    uint32_t n = static_cast<uint32_t>(hdr[1]) | static_cast<uint32_t>(hdr[2]) << 8 |
                 static_cast<uint32_t>(hdr[3]) << 16 | static_cast<uint32_t>(hdr[4]) << 24;
    if (n == 0) {
        r.error = "reply header announces 0 bytes";
        return r;
    }
    if (n > (256u << 20)) {
        r.error = "reply header announces an absurd length";
        return r;
    }
    r.body.resize(n);
    if (!RecvExact(s.Get(), r.body.data(), n, deadline, &r.error)) return r;
    r.ok = true;
    uint8_t extra;
    int e = plat::SockRecvTimeout(s.Get(), &extra, 1, RemainingMs(deadline));
    r.closedAfter = e == 0;
    return r;
}

Reply ExchangeRaw(const Endpoint& ep, const Bytes& wire, bool endAfterSend) {
    Reply r;
    auto deadline = Clock::now() + std::chrono::milliseconds(ep.timeoutMs);
    char err[256] = {};
    plat::Socket s(plat::SockTcpConnect(ep.host.c_str(), ep.port, ep.timeoutMs, err, sizeof err));
    if (!s.Valid()) {
        r.error = err;
        return r;
    }
    if (!wire.empty() && !SendAll(s.Get(), wire, deadline, &r.error)) return r;
    if (endAfterSend) plat::SockShutdownSend(s.Get());
    uint8_t buf[4096];
    for (;;) {
        int n = plat::SockRecvTimeout(s.Get(), buf, sizeof buf, RemainingMs(deadline));
        if (n == 0) {
            r.ok = true;
            r.closedAfter = true;
            return r;
        }
        if (n < 0) {
            r.error = n == -2 ? "timed out" : "connection reset";
            return r;
        }
        r.body.insert(r.body.end(), buf, buf + n);
    }
}

Bytes EchoRequest(int8_t type, const std::string& text) {
    Bytes b(2 + text.size());
    b[0] = GUI_PHASE_BODY;
    b[1] = static_cast<uint8_t>(type);
    std::copy(text.begin(), text.end(), b.begin() + 2);
    return b;
}

Bytes ControllerRequest(int8_t type, const std::string& serial, const Bytes& data) {
    Bytes b(REQ_OFF_DATA, 0);
    b[0] = GUI_PHASE_BODY;
    b[1] = static_cast<uint8_t>(type);
    for (size_t i = 0; i < serial.size() && i < REQ_SN_SIZE; ++i)
        b[REQ_OFF_SN + i] = static_cast<uint8_t>(serial[i]);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

Bytes ConfigRequest(uint8_t code, const Bytes& data) {
    Bytes b(3 + data.size());
    b[0] = GUI_PHASE_BODY;
    b[1] = static_cast<uint8_t>(REQ_SERVER_CONFIG);
    b[2] = code;
    std::copy(data.begin(), data.end(), b.begin() + 3);
    return b;
}

bool IsFailureReply(const Bytes& body, uint8_t* status) {
    if (body.size() < 4 || body[3] == SYS_SUCCESS) return false;
    if (body.size() != 4 && !(body.size() == 6 && body[1] == REQ_INBAND_COMMAND)) return false;
    if (status != nullptr) *status = body[3];
    return true;
}

std::string Hex(const Bytes& b, size_t from, size_t to) {
    if (from >= b.size()) return "";
    return hex::Format(b.data() + from, std::min(b.size(), to) - from);
}

bool ParseHex(const std::string& text, Bytes* out) {
    return hex::Parse(text, out);
}

}  // namespace gui

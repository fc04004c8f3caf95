// One whole request through the GUI server, as a connection thread serves it: the bytes reach
// EnableServerSerive (src/guiserver/RequestDispatch.h) over a socket pair, which receives the
// frame, dispatches it to the handler of its type (in-band command, configuration, event, echo,
// alive) against the fake controllers of AgentFixture, sends at most one reply and closes.
//
// Input: a frame as a client sends it when it starts with the header byte 0x01; anything else is
// a request body, framed here with a header announcing its own length.
//
// Checks: the connection is always closed; what comes back is nothing or exactly one whole
// reply frame (header 0x01 and a length the body fills, the body starting 0x02 and echoing the
// request's type byte, never longer than the large reply buffer).
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "common/FdIo.h"
#include "guiserver/RequestDispatch.h"
#include "protocol/ByteOrder.h"
#include "protocol/GuiFrame.h"
#include "support/AgentFixture.h"
#include "support/FuzzSupport.h"

namespace {

std::vector<uint8_t> RecvToEnd(int fd) {
    std::vector<uint8_t> out;
    uint8_t buf[16384];
    for (;;) {
        ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r <= 0) return out;
        out.insert(out.end(), buf, buf + r);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::AgentFixture::Get().Reset();

    std::vector<uint8_t> frame;
    if (size > 0 && data[0] == GUI_PHASE_HEADER) {
        frame.assign(data, data + size);
    } else {
        frame.resize(GUI_HEADER_SIZE);
        frame[0] = GUI_PHASE_HEADER;
        PutLe32(frame.data() + 1, static_cast<uint32_t>(size));
        frame.insert(frame.end(), data, data + size);
    }
    // A configuration request that would send the test mail is left out.
    const size_t bodyLen = frame.size() > GUI_HEADER_SIZE ? frame.size() - GUI_HEADER_SIZE : 0;
    const uint8_t* body = bodyLen > 0 ? frame.data() + GUI_HEADER_SIZE : nullptr;
    if (bodyLen > REQ_OFF_TYPE && body[REQ_OFF_TYPE] == REQ_SERVER_CONFIG &&
        fuzz::SendsTestMail(body, bodyLen))
        return 0;

    int sv[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0);
    // Both directions hold a whole request and the longest reply without a reader.
    const int room = 1 << 20;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    FUZZ_CHECK(fdio::SendAll(sv[0], frame.data(), frame.size()));
    shutdown(sv[0], SHUT_WR);

    EnableServerSerive(sv[1]);

    // The server has closed its end: the reply, if any, is all there is.
    const std::vector<uint8_t> reply = RecvToEnd(sv[0]);
    close(sv[0]);
    if (reply.empty()) return 0;
    FUZZ_CHECK(reply.size() > GUI_HEADER_SIZE);
    FUZZ_CHECK(reply[0] == GUI_PHASE_HEADER);
    const uint32_t len = GetLe32(reply.data() + 1);
    FUZZ_CHECK(len == reply.size() - GUI_HEADER_SIZE);
    FUZZ_CHECK(len <= GUI_LARGE_REPLY_SIZE);
    FUZZ_CHECK(reply[GUI_HEADER_SIZE] == GUI_PHASE_BODY);
    // A reply answers a request that arrived whole: its type byte comes back.
    const uint8_t type = bodyLen > REQ_OFF_TYPE ? body[REQ_OFF_TYPE] : 0;
    FUZZ_CHECK(len > REQ_OFF_TYPE);
    FUZZ_CHECK(reply[GUI_HEADER_SIZE + REQ_OFF_TYPE] == type);
    return 0;
}

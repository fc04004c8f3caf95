// A client of the GUI protocol: one connection, one request, one reply.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/GuiFrame.h"

namespace gui {

using Bytes = std::vector<uint8_t>;

struct Endpoint {
    std::string host = "127.0.0.1";
    uint16_t port = GUI_SERVER_PORT;
    int timeoutMs = 30000;  // connect, and then the whole exchange
};

// What came back from one exchange.
struct Reply {
    bool ok = false;           // a whole reply frame arrived
    std::string error;         // why not, when !ok
    Bytes body;                // the phase-2 body, marker byte 0x02 at offset 0
    bool closedAfter = false;  // the server closed the connection right after the reply
};

// The 5-byte header and the body, as they go on the wire.
Bytes Frame(const Bytes& body);

// Sends `body` (which starts with 0x02) framed, reads the framed reply and waits for the
// server's close. A connection the server closes without a reply gives ok = false.
Reply Exchange(const Endpoint& ep, const Bytes& body);

// Sends raw bytes as they stand (for malformed frames) and collects whatever comes back until
// the server closes or the time-out passes. With `endAfterSend` the client then shuts its
// sending side, so the server sees the end of the stream.
Reply ExchangeRaw(const Endpoint& ep, const Bytes& wire, bool endAfterSend = false);

// Request bodies.
Bytes EchoRequest(int8_t type, const std::string& text);  // types 4 and 5
Bytes ControllerRequest(int8_t type, const std::string& serial, const Bytes& data);  // 1 and 3
Bytes ConfigRequest(uint8_t code, const Bytes& data);                                // type 2

// Reply helpers: a failure reply is 4 bytes (6 for type 1) whose byte 3 is the status.
bool IsFailureReply(const Bytes& body, uint8_t* status);

std::string Hex(const Bytes& b, size_t from = 0, size_t to = SIZE_MAX);
bool ParseHex(const std::string& text, Bytes* out);

}  // namespace gui

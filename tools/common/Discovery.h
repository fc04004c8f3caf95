// The discovery protocol between GUI clients and the responder EchoBack (doc/discovery.md).
//
// A client sends a probe datagram to UDP port 8922 (one address or a broadcast address); every
// responder that was started with the probe's key answers with one answer datagram, sent back
// to the probe's source address and port. All numbers are little-endian.
//
//   Probe, version 1: exactly DISC_PROBE_SIZE (128) bytes
//     0   4  magic "PLDS"
//     4   1  version: the highest protocol version the client speaks (1)
//     5   1  type DISC_TYPE_PROBE (1)
//     6   2  reserved, 0
//     8   4  nonce, chosen by the client; the answer carries it back
//     12  1  key length K, 1 to DISC_KEY_MAX (32)
//     13  32 key: K bytes, then zeros
//     45  83 padding, zeros (so that no answer is ever larger than the probe)
//
//   Answer, version 1: DISC_ANSWER_HEAD (18) + H bytes, at most 128
//     0   4  magic "PLDS"
//     4   1  version 1
//     5   1  type DISC_TYPE_ANSWER (2)
//     6   2  reserved, 0
//     8   4  the probe's nonce
//     12  2  the agent's TCP port (8922)
//     14  3  the responder's version: major, minor, patch
//     17  1  host name length H, 0 to DISC_NAME_MAX (110)
//     18  H  host name (no terminator; a longer name is cut to DISC_NAME_MAX bytes)
//
// A probe of a later version (version byte above 1) keeps bytes 0 to 44 as above, may be longer
// (at least 128 bytes) and may put anything in its padding; a version-1 responder answers it with
// a version-1 answer. Anything else is not a probe and gets no answer.
//
// Every routine here is pure (no I/O, no globals) and safe on any input; DiscRateLimiter is one
// object used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/GuiFrame.h"

namespace disc {

// Responders listen on the agent's port number, in UDP; every answer tells the agent's TCP port.
constexpr uint16_t DISC_UDP_PORT = GUI_SERVER_PORT;
constexpr uint16_t DISC_AGENT_TCP_PORT = GUI_SERVER_PORT;
constexpr char DISC_DEFAULT_KEY[] = "KELDRAN";  // the key the agent starts its responder with

constexpr uint8_t DISC_MAGIC[4] = {'P', 'L', 'D', 'S'};
constexpr uint8_t DISC_VERSION = 1;
constexpr uint8_t DISC_TYPE_PROBE = 1;
constexpr uint8_t DISC_TYPE_ANSWER = 2;

constexpr size_t DISC_PROBE_SIZE = 128;
constexpr size_t DISC_KEY_MAX = 32;
constexpr size_t DISC_PROBE_KEY_LEN_AT = 12;
constexpr size_t DISC_PROBE_KEY_AT = 13;
constexpr size_t DISC_ANSWER_HEAD = 18;
constexpr size_t DISC_NAME_MAX = DISC_PROBE_SIZE - DISC_ANSWER_HEAD;  // 110
constexpr size_t DISC_ANSWER_MAX = DISC_ANSWER_HEAD + DISC_NAME_MAX;  // 128
// Largest datagram a responder reads; longer ones are cut (and still judged by their size).
constexpr size_t DISC_DATAGRAM_MAX = 2048;

static_assert(DISC_ANSWER_MAX <= DISC_PROBE_SIZE, "an answer must never outgrow its probe");

// A probe as the responder reads it.
struct DiscProbe {
    uint8_t bVersion = 0;
    uint32_t lNonce = 0;
    uint8_t bKeyLen = 0;
    uint8_t cKey[DISC_KEY_MAX] = {};
};

// An answer as the client reads it.
struct DiscAnswer {
    uint8_t bVersion = 0;
    uint32_t lNonce = 0;
    uint16_t usTcpPort = 0;
    uint8_t bVerMajor = 0, bVerMinor = 0, bVerPatch = 0;
    uint8_t bNameLen = 0;
    char cHostName[DISC_NAME_MAX + 1] = {};  // NUL-terminated; may hold any bytes but NUL
};

// Writes a version-1 probe carrying `key` (1 to DISC_KEY_MAX bytes) and `nonce` into out.
// Returns DISC_PROBE_SIZE, or 0 (nothing written) when the key is empty or too long or `cap`
// is below DISC_PROBE_SIZE.
size_t BuildDiscProbe(uint32_t nonce, const char* key, uint8_t* out, size_t cap);

// Reads a probe of `size` bytes (`size` is the datagram's real size; only min(size, have) bytes
// of buf are valid and looked at). Returns false for anything that is not a well-formed probe.
bool ParseDiscProbe(const uint8_t* buf, size_t have, size_t size, DiscProbe* probe);

// True when the probe carries exactly `key`.
bool DiscKeyMatches(const DiscProbe& probe, const char* key);

// Writes the version-1 answer to a probe with `nonce` into out: the TCP port, the version and
// the host name, cut to DISC_NAME_MAX bytes (and to what `cap` allows). Returns its size (at
// most DISC_ANSWER_MAX), or 0 when `cap` is below DISC_ANSWER_HEAD.
size_t BuildDiscAnswer(uint32_t nonce, uint16_t tcpPort, uint8_t verMajor, uint8_t verMinor,
                       uint8_t verPatch, const char* hostName, uint8_t* out, size_t cap);

// Reads an answer of `size` bytes. Returns false for anything that is not a well-formed answer
// (its nonce is not checked here).
bool ParseDiscAnswer(const uint8_t* buf, size_t size, DiscAnswer* answer);

// The host name made safe to print: bytes outside printable ASCII become '?'.
std::string DiscPrintableName(const char* name);

// Per-source rate limit of the answers: each source address has a token bucket of
// DISC_RATE_BURST answers, refilled by one answer every DISC_RATE_REFILL_MS; on top of that all
// sources together get at most DISC_RATE_ALL_BURST answers, refilled by one every
// DISC_RATE_ALL_REFILL_MS. The table remembers at most DISC_RATE_SOURCES sources; a new source
// replaces the one heard from longest ago, so memory stays bounded whatever the number of
// sources (and the overall bucket still holds when sources change all the time).
constexpr size_t DISC_RATE_SOURCES = 64;
constexpr int DISC_RATE_BURST = 5;
constexpr int64_t DISC_RATE_REFILL_MS = 1000;
constexpr int DISC_RATE_ALL_BURST = 100;
constexpr int64_t DISC_RATE_ALL_REFILL_MS = 10;

class DiscRateLimiter {
  public:
    // True when an answer to `addr` may be sent at `nowMs` (any monotonic clock in
    // milliseconds); it is then counted.
    bool Allow(uint32_t addr, int64_t nowMs);
    // How many sources the table holds (at most DISC_RATE_SOURCES).
    size_t SourceCount() const { return count_; }

  private:
    struct Bucket {
        uint32_t lAddr = 0;
        int64_t lLastMs = 0;    // last heard from
        int64_t lFilledMs = 0;  // tokens are counted up to this time
        int lTokens = 0;
    };
    Bucket table_[DISC_RATE_SOURCES];
    size_t count_ = 0;
    int allTokens_ = DISC_RATE_ALL_BURST;
    int64_t allFilledMs_ = INT64_MIN;
};

}  // namespace disc

// The discovery datagrams (tools/common/Discovery.h) with the input as one datagram: the probe
// as the responder EchoBack reads it (the first DISC_DATAGRAM_MAX bytes of a datagram of the
// input's size) and the answer as pellomar-cli discover reads it.
//
// Checks: a probe read carries a key of 1 to 32 bytes that matches itself; the answer built for
// it is never larger than the probe and reads back as built; an answer read has a host name of
// its length without NUL that prints as printable text, and building it again gives the same
// bytes (the reserved bytes aside).
#include <cstring>
#include <string>

#include "common/Discovery.h"
#include "support/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace disc;

    const size_t have = size < DISC_DATAGRAM_MAX ? size : DISC_DATAGRAM_MAX;
    DiscProbe probe;
    if (ParseDiscProbe(data, have, size, &probe)) {
        FUZZ_CHECK(probe.bKeyLen >= 1 && probe.bKeyLen <= DISC_KEY_MAX);
        FUZZ_CHECK(probe.bVersion >= 1);
        char key[DISC_KEY_MAX + 1] = {};
        std::memcpy(key, probe.cKey, probe.bKeyLen);
        if (std::strlen(key) == probe.bKeyLen) FUZZ_CHECK(DiscKeyMatches(probe, key));
        FUZZ_CHECK(DiscKeyMatches(probe, DISC_DEFAULT_KEY) ==
                   (std::string(key, probe.bKeyLen) == DISC_DEFAULT_KEY));
        // The responder's answer, with the probe's own bytes as a long host name.
        std::string host(reinterpret_cast<const char*>(data), have);
        host = host.substr(0, host.find('\0'));
        uint8_t out[DISC_ANSWER_MAX];
        const size_t room = size < sizeof out ? size : sizeof out;
        const size_t len =
            BuildDiscAnswer(probe.lNonce, DISC_AGENT_TCP_PORT, 3, 7, 1, host.c_str(), out, room);
        FUZZ_CHECK(len >= DISC_ANSWER_HEAD && len <= size && len <= DISC_ANSWER_MAX);
        DiscAnswer back;
        FUZZ_CHECK(ParseDiscAnswer(out, len, &back));
        FUZZ_CHECK(back.lNonce == probe.lNonce && back.usTcpPort == DISC_AGENT_TCP_PORT);
        FUZZ_CHECK(std::string(back.cHostName) == host.substr(0, len - DISC_ANSWER_HEAD));
    }

    DiscAnswer a;
    if (ParseDiscAnswer(data, size, &a)) {
        FUZZ_CHECK(std::strlen(a.cHostName) == a.bNameLen);
        for (char c : DiscPrintableName(a.cHostName))
            FUZZ_CHECK(c >= 0x20 && c <= 0x7E);
        uint8_t again[DISC_ANSWER_MAX];
        const size_t len = BuildDiscAnswer(a.lNonce, a.usTcpPort, a.bVerMajor, a.bVerMinor,
                                           a.bVerPatch, a.cHostName, again, sizeof again);
        FUZZ_CHECK(len == size);
        FUZZ_CHECK(std::memcmp(again, data, 6) == 0);
        FUZZ_CHECK(std::memcmp(again + 8, data + 8, size - 8) == 0);
    }

    // The responder's rate limit, fed the input as sources and clock steps.
    DiscRateLimiter limiter;
    int64_t now = 0;
    for (size_t i = 0; i + 3 <= size; i += 3) {
        now += data[i];
        const uint32_t addr = 0x0A000000u | data[i + 1] | (uint32_t{data[i + 2]} << 8);
        limiter.Allow(addr, now);
        FUZZ_CHECK(limiter.SourceCount() <= DISC_RATE_SOURCES);
    }
    return 0;
}

// The discovery datagrams and the responder's rate limit.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/Discovery.h"

using namespace disc;

namespace {

std::vector<uint8_t> Probe(uint32_t nonce, const char* key) {
    std::vector<uint8_t> p(DISC_PROBE_SIZE);
    EXPECT_EQ(BuildDiscProbe(nonce, key, p.data(), p.size()), DISC_PROBE_SIZE);
    return p;
}

bool Parses(const std::vector<uint8_t>& d, DiscProbe* out = nullptr) {
    DiscProbe p;
    bool ok = ParseDiscProbe(d.data(), d.size(), d.size(), &p);
    if (out != nullptr) *out = p;
    return ok;
}

}  // namespace

TEST(DiscoveryProto, ProbeLayoutIsFixedAndRoundTrips) {
    std::vector<uint8_t> p = Probe(0x11223344, "KELDRAN");
    const uint8_t head[] = {'P', 'L', 'D', 'S', 1, 1, 0, 0, 0x44, 0x33, 0x22, 0x11, 7};
    EXPECT_EQ(std::memcmp(p.data(), head, sizeof head), 0);
    EXPECT_EQ(std::memcmp(p.data() + 13, "KELDRAN", 7), 0);
    for (size_t i = 20; i < p.size(); ++i)
        ASSERT_EQ(p[i], 0) << i;

    DiscProbe got;
    ASSERT_TRUE(Parses(p, &got));
    EXPECT_EQ(got.lNonce, 0x11223344u);
    EXPECT_TRUE(DiscKeyMatches(got, "KELDRAN"));
    for (const char* other : {"KELDRA", "KELDRANX", "keldran", ""})
        EXPECT_FALSE(DiscKeyMatches(got, other)) << other;

    uint8_t buf[DISC_PROBE_SIZE];
    EXPECT_EQ(BuildDiscProbe(1, "", buf, sizeof buf), 0u);
    EXPECT_EQ(BuildDiscProbe(1, std::string(33, 'k').c_str(), buf, sizeof buf), 0u);
    EXPECT_EQ(BuildDiscProbe(1, "KELDRAN", buf, sizeof buf - 1), 0u);
    EXPECT_EQ(BuildDiscProbe(1, std::string(32, 'k').c_str(), buf, sizeof buf), DISC_PROBE_SIZE);
}

TEST(DiscoveryProto, AnythingButAWellFormedProbeIsRefused) {
    const std::vector<uint8_t> good = Probe(7, "KELDRAN");
    struct Case {
        const char* what;
        std::vector<uint8_t> d;
    };
    std::vector<Case> cases;
    auto with = [&](const char* what, size_t at, uint8_t v) {
        std::vector<uint8_t> d = good;
        d[at] = v;
        cases.push_back({what, d});
    };
    cases.push_back({"empty", {}});
    cases.push_back({"one byte short", std::vector<uint8_t>(good.begin(), good.end() - 1)});
    cases.push_back({"header only", std::vector<uint8_t>(good.begin(), good.begin() + 13)});
    std::vector<uint8_t> longer = good;
    longer.push_back(0);
    cases.push_back({"version 1 one byte long", longer});
    with("bad magic", 0, 'X');
    with("version 0", 4, 0);
    with("an answer", 5, DISC_TYPE_ANSWER);
    with("unknown type", 5, 9);
    with("reserved byte set", 7, 1);
    with("key length 0", 12, 0);
    with("key length 33", 12, 33);
    with("key length beyond the key", 12, 6);  // then 'N' stands where zeros belong
    with("byte after the key", 20, 'X');
    with("padding set", 127, 1);
    for (const Case& c : cases)
        EXPECT_FALSE(Parses(c.d)) << c.what;

    // Only part of a long datagram was read: never judged on bytes that are not there.
    DiscProbe p;
    EXPECT_FALSE(ParseDiscProbe(good.data(), 64, DISC_PROBE_SIZE, &p));
}

TEST(DiscoveryProto, ALaterVersionProbeIsAnsweredInVersionOne) {
    std::vector<uint8_t> p = Probe(9, "KELDRAN");
    p[4] = 2;
    p.resize(300, 0xAB);  // a later version may be longer and use its padding
    DiscProbe got;
    ASSERT_TRUE(Parses(p, &got));
    EXPECT_EQ(got.bVersion, 2);
    EXPECT_TRUE(DiscKeyMatches(got, "KELDRAN"));
    // Still at least the fixed size, still with a clean key field.
    std::vector<uint8_t> shortV2(p.begin(), p.begin() + 127);
    EXPECT_FALSE(Parses(shortV2));
    p[40] = 1;
    EXPECT_FALSE(Parses(p));
}

TEST(DiscoveryProto, AnswerCarriesPortVersionAndTheNameCutToFit) {
    uint8_t out[DISC_ANSWER_MAX];
    size_t n = BuildDiscAnswer(0xCAFEF00D, 8922, 3, 7, 1, "raidhost", out, sizeof out);
    ASSERT_EQ(n, DISC_ANSWER_HEAD + 8);
    const uint8_t head[] = {'P',  'L',  'D',  'S',  1,    2, 0, 0, 0x0D,
                            0xF0, 0xFE, 0xCA, 0xDA, 0x22, 3, 7, 1, 8};
    EXPECT_EQ(std::memcmp(out, head, sizeof head), 0);
    EXPECT_EQ(std::memcmp(out + 18, "raidhost", 8), 0);
    DiscAnswer a;
    ASSERT_TRUE(ParseDiscAnswer(out, n, &a));
    EXPECT_EQ(a.lNonce, 0xCAFEF00Du);
    EXPECT_EQ(a.usTcpPort, 8922);
    EXPECT_EQ(a.bVerMajor, 3);
    EXPECT_EQ(a.bVerMinor, 7);
    EXPECT_EQ(a.bVerPatch, 1);
    EXPECT_STREQ(a.cHostName, "raidhost");

    // The longest name fills the answer to exactly the probe's size and no further.
    std::string longName(300, 'h');
    n = BuildDiscAnswer(1, 8922, 3, 7, 1, longName.c_str(), out, sizeof out);
    EXPECT_EQ(n, DISC_PROBE_SIZE);
    ASSERT_TRUE(ParseDiscAnswer(out, n, &a));
    EXPECT_EQ(std::string(a.cHostName), std::string(DISC_NAME_MAX, 'h'));
    // A smaller room cuts the name further; below the fixed head nothing is written.
    EXPECT_EQ(BuildDiscAnswer(1, 8922, 3, 7, 1, longName.c_str(), out, 20), 20u);
    EXPECT_EQ(BuildDiscAnswer(1, 8922, 3, 7, 1, "x", out, DISC_ANSWER_HEAD - 1), 0u);
    EXPECT_EQ(BuildDiscAnswer(1, 8922, 3, 7, 1, nullptr, out, sizeof out), DISC_ANSWER_HEAD);
}

TEST(DiscoveryProto, MalformedAnswersAreRefused) {
    uint8_t out[DISC_ANSWER_MAX];
    size_t n = BuildDiscAnswer(1, 8922, 3, 7, 1, "host", out, sizeof out);
    DiscAnswer a;
    EXPECT_FALSE(ParseDiscAnswer(out, n - 1, &a)) << "length disagrees with the name";
    EXPECT_FALSE(ParseDiscAnswer(out, DISC_ANSWER_HEAD - 1, &a));
    out[5] = DISC_TYPE_PROBE;
    EXPECT_FALSE(ParseDiscAnswer(out, n, &a));
    out[5] = DISC_TYPE_ANSWER;
    out[19] = 0;  // a NUL inside the name
    EXPECT_FALSE(ParseDiscAnswer(out, n, &a));
    EXPECT_EQ(DiscPrintableName("ok\x1b[2Jname\xff"), "ok?[2Jname?");
}

TEST(DiscoveryRate, ABurstFromOneSourceIsCutAndRefillsOverTime) {
    DiscRateLimiter lim;
    int64_t t = 1000000;
    int allowed = 0;
    for (int i = 0; i < 20; ++i)
        allowed += lim.Allow(0x0A000001, t) ? 1 : 0;
    EXPECT_EQ(allowed, DISC_RATE_BURST);
    // Another source is not held up by the first.
    EXPECT_TRUE(lim.Allow(0x0A000002, t));
    // One answer more per refill period, up to the burst again.
    EXPECT_FALSE(lim.Allow(0x0A000001, t + DISC_RATE_REFILL_MS - 1));
    EXPECT_TRUE(lim.Allow(0x0A000001, t + DISC_RATE_REFILL_MS));
    EXPECT_FALSE(lim.Allow(0x0A000001, t + DISC_RATE_REFILL_MS));
    allowed = 0;
    for (int i = 0; i < 20; ++i)
        allowed += lim.Allow(0x0A000001, t + 3600000) ? 1 : 0;
    EXPECT_EQ(allowed, DISC_RATE_BURST);
}

TEST(DiscoveryRate, ManySourcesKeepTheTableBoundedAndTheOverallLimit) {
    DiscRateLimiter lim;
    int64_t t = 5000;
    int allowed = 0;
    for (uint32_t src = 1; src <= 10000; ++src)
        allowed += lim.Allow(src, t) ? 1 : 0;
    EXPECT_EQ(lim.SourceCount(), DISC_RATE_SOURCES);
    EXPECT_EQ(allowed, DISC_RATE_ALL_BURST);
    // The overall bucket refills too.
    EXPECT_TRUE(lim.Allow(424242, t + DISC_RATE_ALL_REFILL_MS));
    // A source recently heard from keeps its place (and its spent bucket) while others come
    // and go: the one heard from longest ago is replaced.
    DiscRateLimiter l2;
    t = 10;
    for (int i = 0; i < DISC_RATE_BURST; ++i)
        EXPECT_TRUE(l2.Allow(0xC0A80001, t));
    for (uint32_t src = 1; src < DISC_RATE_SOURCES; ++src)
        l2.Allow(src, t + static_cast<int64_t>(src));
    EXPECT_EQ(l2.SourceCount(), DISC_RATE_SOURCES);
    EXPECT_FALSE(l2.Allow(0xC0A80001, t + 100));  // heard from again: now the most recent
    EXPECT_TRUE(l2.Allow(0x0B000001, t + 101));   // a new source replaces source 1
    EXPECT_FALSE(l2.Allow(0xC0A80001, t + 102)) << "replaced, and came back with a full bucket";
    EXPECT_EQ(l2.SourceCount(), DISC_RATE_SOURCES);
}

#include "Discovery.h"

#include <cstring>
#include "protocol/ByteOrder.h"

namespace disc {

namespace {

void PutHead(uint8_t* out, uint8_t type, uint32_t nonce) {
    std::memcpy(out, DISC_MAGIC, sizeof DISC_MAGIC);
    out[4] = DISC_VERSION;
    out[5] = type;
    out[6] = 0;
    out[7] = 0;
    PutLe32(out + 8, nonce);
}

bool AllZero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

// Refills a bucket to `nowMs` (one token per `refillMs`, at most `burst`).
void Refill(int* tokens, int64_t* filledMs, int burst, int64_t refillMs, int64_t nowMs) {
    if (*filledMs == INT64_MIN || nowMs < *filledMs) {
        // New bucket, or a clock that went back: start full from now.
        if (*filledMs == INT64_MIN) *tokens = burst;
        *filledMs = nowMs;
        return;
    }
    int64_t gained = (nowMs - *filledMs) / refillMs;
    if (gained <= 0) return;
    if (gained >= burst - *tokens) {
        *tokens = burst;
        *filledMs = nowMs;
    } else {
        *tokens += static_cast<int>(gained);
        *filledMs += gained * refillMs;
    }
}

}  // namespace

size_t BuildDiscProbe(uint32_t nonce, const char* key, uint8_t* out, size_t cap) {
    if (key == nullptr || out == nullptr || cap < DISC_PROBE_SIZE) return 0;
    size_t k = std::strlen(key);
    if (k == 0 || k > DISC_KEY_MAX) return 0;
    std::memset(out, 0, DISC_PROBE_SIZE);
    PutHead(out, DISC_TYPE_PROBE, nonce);
    out[DISC_PROBE_KEY_LEN_AT] = static_cast<uint8_t>(k);
    std::memcpy(out + DISC_PROBE_KEY_AT, key, k);
    return DISC_PROBE_SIZE;
}

bool ParseDiscProbe(const uint8_t* buf, size_t have, size_t size, DiscProbe* probe) {
    if (buf == nullptr || probe == nullptr) return false;
    // Only a whole probe of at least the fixed size counts; bytes beyond `have` were cut off.
    if (size < DISC_PROBE_SIZE || have < DISC_PROBE_SIZE) return false;
    if (std::memcmp(buf, DISC_MAGIC, sizeof DISC_MAGIC) != 0) return false;
    uint8_t version = buf[4];
    if (version == 0 || buf[5] != DISC_TYPE_PROBE) return false;
    size_t k = buf[DISC_PROBE_KEY_LEN_AT];
    if (k == 0 || k > DISC_KEY_MAX) return false;
    if (version == DISC_VERSION) {
        // Version 1 is exactly this layout: fixed size, zeros wherever no field is.
        if (size != DISC_PROBE_SIZE) return false;
        if (buf[6] != 0 || buf[7] != 0) return false;
        if (!AllZero(buf + DISC_PROBE_KEY_AT + k, DISC_PROBE_SIZE - DISC_PROBE_KEY_AT - k))
            return false;
    } else if (!AllZero(buf + DISC_PROBE_KEY_AT + k, DISC_KEY_MAX - k)) {
        // A later version keeps the key field as it is; what follows it is its business.
        return false;
    }
    probe->bVersion = version;
    probe->lNonce = GetLe32(buf + 8);
    probe->bKeyLen = static_cast<uint8_t>(k);
    std::memset(probe->cKey, 0, sizeof probe->cKey);
    std::memcpy(probe->cKey, buf + DISC_PROBE_KEY_AT, k);
    return true;
}

bool DiscKeyMatches(const DiscProbe& probe, const char* key) {
    if (key == nullptr) return false;
    size_t k = std::strlen(key);
    if (k == 0 || k > DISC_KEY_MAX || k != probe.bKeyLen) return false;
    // Compare every byte, whatever the first difference, so timing tells nothing about the key.
    unsigned diff = 0;
    for (size_t i = 0; i < k; ++i)
        diff |= static_cast<unsigned>(probe.cKey[i] ^ static_cast<uint8_t>(key[i]));
    return diff == 0;
}

size_t BuildDiscAnswer(uint32_t nonce, uint16_t tcpPort, uint8_t verMajor, uint8_t verMinor,
                       uint8_t verPatch, const char* hostName, uint8_t* out, size_t cap) {
    if (out == nullptr || cap < DISC_ANSWER_HEAD) return 0;
    size_t h = hostName != nullptr ? std::strlen(hostName) : 0;
    if (h > DISC_NAME_MAX) h = DISC_NAME_MAX;
    if (h > cap - DISC_ANSWER_HEAD) h = cap - DISC_ANSWER_HEAD;
    PutHead(out, DISC_TYPE_ANSWER, nonce);
    PutLe16(out + 12, tcpPort);
    out[14] = verMajor;
    out[15] = verMinor;
    out[16] = verPatch;
    out[17] = static_cast<uint8_t>(h);
    if (h > 0) std::memcpy(out + DISC_ANSWER_HEAD, hostName, h);
    return DISC_ANSWER_HEAD + h;
}

bool ParseDiscAnswer(const uint8_t* buf, size_t size, DiscAnswer* answer) {
    if (buf == nullptr || answer == nullptr) return false;
    if (size < DISC_ANSWER_HEAD || size > DISC_ANSWER_MAX) return false;
    if (std::memcmp(buf, DISC_MAGIC, sizeof DISC_MAGIC) != 0) return false;
    if (buf[4] != DISC_VERSION || buf[5] != DISC_TYPE_ANSWER) return false;
    size_t h = buf[17];
    if (h > DISC_NAME_MAX || DISC_ANSWER_HEAD + h != size) return false;
    if (std::memchr(buf + DISC_ANSWER_HEAD, 0, h) != nullptr) return false;
    answer->bVersion = buf[4];
    answer->lNonce = GetLe32(buf + 8);
    answer->usTcpPort = GetLe16(buf + 12);
    answer->bVerMajor = buf[14];
    answer->bVerMinor = buf[15];
    answer->bVerPatch = buf[16];
    answer->bNameLen = static_cast<uint8_t>(h);
    std::memset(answer->cHostName, 0, sizeof answer->cHostName);
    std::memcpy(answer->cHostName, buf + DISC_ANSWER_HEAD, h);
    return true;
}

std::string DiscPrintableName(const char* name) {
    std::string s = name != nullptr ? name : "";
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
    return s;
}

bool DiscRateLimiter::Allow(uint32_t addr, int64_t nowMs) {
    Bucket* b = nullptr;
    for (size_t i = 0; i < count_; ++i)
        if (table_[i].lAddr == addr) b = &table_[i];
    if (b == nullptr) {
        if (count_ < DISC_RATE_SOURCES) {
            b = &table_[count_++];
        } else {
            b = &table_[0];
            for (size_t i = 1; i < count_; ++i)
                if (table_[i].lLastMs < b->lLastMs) b = &table_[i];
        }
        *b = Bucket{};
        b->lAddr = addr;
        b->lFilledMs = INT64_MIN;
    }
    b->lLastMs = nowMs;
    Refill(&b->lTokens, &b->lFilledMs, DISC_RATE_BURST, DISC_RATE_REFILL_MS, nowMs);
    Refill(&allTokens_, &allFilledMs_, DISC_RATE_ALL_BURST, DISC_RATE_ALL_REFILL_MS, nowMs);
    if (b->lTokens <= 0 || allTokens_ <= 0) return false;
    --b->lTokens;
    --allTokens_;
    return true;
}

}  // namespace disc

#include "platform/SockAddr.h"

#include <cstdio>
#include <cstring>

#include "platform/Socket.h"

namespace plat {

SockAddrV4 MakeSockAddrV4(uint32_t addr, uint16_t port) {
    SockAddrV4 a{};
    a.family = SOCK_FAMILY_INET;
    a.port[0] = static_cast<uint8_t>(port >> 8);
    a.port[1] = static_cast<uint8_t>(port);
    for (int i = 0; i < 4; ++i)
        a.addr[i] = static_cast<uint8_t>(addr >> (24 - 8 * i));
    return a;
}

bool ReadSockAddrV4(const void* sa, size_t len, uint32_t* addr, uint16_t* port) {
    *addr = 0;
    *port = 0;
    SockAddrV4 a{};
    // The family and port come first, and the address follows: eight bytes hold all three.
    constexpr size_t kUsed = offsetof(SockAddrV4, zero);
    if (sa == nullptr || len < kUsed) return false;
    std::memcpy(&a, sa, kUsed);
    if (a.family != SOCK_FAMILY_INET) return false;
    *port = static_cast<uint16_t>(a.port[0] << 8 | a.port[1]);
    *addr = static_cast<uint32_t>(a.addr[0]) << 24 | static_cast<uint32_t>(a.addr[1]) << 16 |
            static_cast<uint32_t>(a.addr[2]) << 8 | a.addr[3];
    return true;
}

bool ParseDottedV4(const char* text, uint32_t* addr) {
    if (text == nullptr) return false;
    uint32_t value = 0;
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *p++ != '.') return false;
        if (*p < '0' || *p > '9') return false;
        unsigned n = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            if (++digits > 3) return false;
            n = n * 10 + static_cast<unsigned>(*p - '0');
            ++p;
        }
        if (n > 255 || (digits > 1 && p[-digits] == '0')) return false;
        value = value << 8 | n;
    }
    if (*p != '\0') return false;
    *addr = value;
    return true;
}

void SockAddrText(uint32_t addr, char* buf, size_t cap) {
    if (buf == nullptr || cap == 0) return;
    std::snprintf(buf, cap, "%u.%u.%u.%u", (addr >> 24) & 0xFFu, (addr >> 16) & 0xFFu,
                  (addr >> 8) & 0xFFu, addr & 0xFFu);
}

}  // namespace plat

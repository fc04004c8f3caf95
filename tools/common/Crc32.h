// CRC-32 (IEEE 802.3, reflected, polynomial 0xEDB88320), as zlib's crc32 and Python's
// zlib.crc32 compute it. Used to compare bulk transfers end to end (pellomar-sim reports the
// checksum of every package transfer it reassembles). Eight bytes per step (slicing by 8).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace gui {

using Crc32Tables = std::array<std::array<uint32_t, 256>, 8>;

inline const Crc32Tables& Crc32Table() {
    static const Crc32Tables tables = [] {
        Crc32Tables t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i)
            for (size_t s = 1; s < 8; ++s)
                t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
        return t;
    }();
    return tables;
}

// Continues a checksum: start with crc = 0 and feed the bytes in order.
inline uint32_t Crc32Update(uint32_t crc, const uint8_t* p, size_t n) {
    const auto& t = Crc32Table();
    crc = ~crc;
    for (; n >= 8; n -= 8, p += 8) {
        uint32_t lo = crc ^ (static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                             static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
        crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
              t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    }
    for (; n > 0; --n, ++p)
        crc = t[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

}  // namespace gui

// CRC-32 (IEEE 802.3, reflected, polynomial 0xEDB88320), as zlib's crc32 and Python's
// zlib.crc32 compute it. Used to compare bulk transfers end to end (pellomar-sim reports the
// checksum of every package transfer it reassembles).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace gui {

inline const std::array<uint32_t, 256>& Crc32Table() {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    return table;
}

// Continues a checksum: start with crc = 0 and feed the bytes in order.
inline uint32_t Crc32Update(uint32_t crc, const uint8_t* p, size_t n) {
    const auto& t = Crc32Table();
    crc = ~crc;
    for (size_t i = 0; i < n; ++i)
        crc = t[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

}  // namespace gui

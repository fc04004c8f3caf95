// Port numbers given as text on a command line or in a "host:port" setting.
#pragma once

#include <cstddef>
#include <cstdint>

namespace port_text {

// Reads a TCP or UDP port: one to five decimal digits and nothing else (no sign, no blanks, no
// trailing characters) whose value lies from `minPort` (1, or 0 where "any free port" is
// meant) to 65535. `len` is the text's length; the text need not be NUL-terminated. Returns
// false, leaving *port alone, for anything else.
inline bool ParsePort(const char* text, size_t len, uint16_t* port, uint16_t minPort = 1) {
    if (text == nullptr || len == 0 || len > 5) return false;
    uint32_t value = 0;
    for (size_t i = 0; i < len; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + static_cast<uint32_t>(text[i] - '0');
    }
    if (value < minPort || value > 65535) return false;
    if (port != nullptr) *port = static_cast<uint16_t>(value);
    return true;
}

// The same for a NUL-terminated text.
inline bool ParsePort(const char* text, uint16_t* port, uint16_t minPort = 1) {
    if (text == nullptr) return false;
    size_t len = 0;
    while (len <= 5 && text[len] != '\0')
        ++len;
    return ParsePort(text, len, port, minPort);
}

}  // namespace port_text

// Bytes as hexadecimal text and back, for the companion programs' command lines and outputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace hex {

// Two lowercase digits per byte, no separators.
inline std::string Format(const uint8_t* p, size_t n) {
    std::string s;
    char t[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(t, sizeof t, "%02x", p[i]);
        s += t;
    }
    return s;
}

// Parses pairs of hexadecimal digits (either case); blanks, tabs, line breaks and ':' between
// them are ignored. Returns false for any other character or an odd number of digits.
inline bool Parse(const std::string& text, std::vector<uint8_t>* out) {
    out->clear();
    int hi = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            v = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            v = c - 'A' + 10;
        } else if (c == ' ' || c == ':' || c == '\t' || c == '\n' || c == '\r') {
            continue;
        } else {
            return false;
        }
        if (hi < 0) {
            hi = v;
        } else {
            out->push_back(static_cast<uint8_t>(hi << 4 | v));
            hi = -1;
        }
    }
    return hi < 0;
}

}  // namespace hex

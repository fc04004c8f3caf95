#include "base/TomlText.h"

namespace {

// The length of the UTF-8 sequence of one character beyond ASCII at text[i] (2 to 4), or 0 when
// the bytes there are not one (RFC 3629: no overlong form, no surrogate, nothing above
// U+10FFFF).
size_t Utf8SequenceLength(std::string_view text, size_t i) {
    auto at = [&](size_t k) {
        return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u;
    };
    auto follows = [&](size_t k) { return (at(k) & 0xC0u) == 0x80u; };
    const unsigned lead = at(0);
    if (lead >= 0xC2 && lead <= 0xDF) return follows(1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        const unsigned lo = lead == 0xE0 ? 0xA0 : 0x80, hi = lead == 0xED ? 0x9F : 0xBF;
        return at(1) >= lo && at(1) <= hi && follows(2) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const unsigned lo = lead == 0xF0 ? 0x90 : 0x80, hi = lead == 0xF4 ? 0x8F : 0xBF;
        return at(1) >= lo && at(1) <= hi && follows(2) && follows(3) ? 4 : 0;
    }
    return 0;
}

// The text as the parser gets it: each character beyond ASCII becomes '?' (a byte order mark at
// the start stays). The parser's tables of such characters are at fault: for many of them
// (U+00A1 to U+0499 among them) it takes a path the compiler is told is never taken, which is
// undefined behaviour. TOML allows them only in comments and strings, where '?' does as well (no
// setting takes such a string), so every file stays as valid or invalid as it was, and every
// fault keeps its line and column (one per character). Bytes that are not UTF-8 stay as they
// are; the parser refuses them.
std::string AsciiForParser(std::string_view text) {
    static constexpr std::string_view kBom = "\xEF\xBB\xBF";
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    if (text.substr(0, kBom.size()) == kBom) {
        out = kBom;
        i = kBom.size();
    }
    while (i < text.size()) {
        const size_t n = Utf8SequenceLength(text, i);
        if (n == 0) {
            out += text[i++];
        } else {
            out += '?';
            i += n;
        }
    }
    return out;
}

}  // namespace

toml::parse_result ParseTomlText(std::string_view text, std::string_view path) {
    const std::string ascii = AsciiForParser(text);
    return toml::parse(ascii, path);
}

#include "base/FileWord.h"

namespace {

bool IsWordBreak(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

bool ReadFileWord(std::FILE* f, char* out, size_t cap, bool* tooLong) {
    out[0] = '\0';
    if (tooLong != nullptr) *tooLong = false;
    int c;
    do {
        c = std::getc(f);
    } while (c != EOF && IsWordBreak(c));
    if (c == EOF) return false;
    size_t len = 0;    // characters stored
    size_t total = 0;  // characters in the word
    bool ended = false;
    for (; c != EOF && !IsWordBreak(c); c = std::getc(f), ++total) {
        if (c == '\0') ended = true;
        if (!ended && len + 1 < cap) out[len++] = static_cast<char>(c);
    }
    out[len] = '\0';
    if (tooLong != nullptr) *tooLong = total + 1 > cap;
    return true;
}

// Reading the words of the agent's text files (the event history, the mail settings).
#pragma once

#include <cstddef>
#include <cstdio>

// Reads the next word of `f` as fscanf's "%s" does: white space (blank, tab, line feed, carriage
// return, vertical tab, form feed) is skipped, then the word runs to the next white space. Never
// writes past `cap` bytes (cap >= 1): at most cap - 1 characters are stored, and a NUL byte in
// the word ends the stored text; the rest of the word is read and dropped. *tooLong (when
// given) is set to whether the word had cap characters or more. Returns false, with `out`
// empty, at the end of the file or on a read error.
bool ReadFileWord(std::FILE* f, char* out, size_t cap, bool* tooLong = nullptr);

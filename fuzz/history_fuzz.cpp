// The event history loader: the input is controller 0's history file
// (ServerDir/event_bin_<serial>.txt), loaded by ReloadEventBinFile (src/events/EventRecord.h)
// through the word reader ReadFileWord (src/base/FileWord.h). The word reader also reads the
// input directly, into a buffer of a size byte 0 chooses.
//
// Checks: the word reader stores at most cap - 1 characters, no NUL within them, and says a
// word was too long exactly when it was; the load holds every word shorter than a line whose
// text is not empty as a line, in order, and rewrites the file so that loading it again gives
// the same lines.
//
// Inputs of 1023 words or more are left out: every 1023 lines the load packs them and pauses
// 1.5 s on purpose (so that each pack's file name gets a second of its own).
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "base/FileWord.h"
#include "base/ServerLog.h"
#include "controller/CtlrTable.h"
#include "events/EventRecord.h"
#include "support/FuzzSupport.h"

namespace {

constexpr const char* kSerial = "FUZZ-HISTORY";

bool IsBreak(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The words of the input as fscanf's "%s" reads them, each cut at its first NUL.
std::vector<std::string> Words(const uint8_t* data, size_t size, std::vector<size_t>* lengths) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < size) {
        while (i < size && IsBreak(data[i]))
            ++i;
        if (i == size) break;
        size_t start = i;
        while (i < size && !IsBreak(data[i]))
            ++i;
        std::string w(reinterpret_cast<const char*>(data + start), i - start);
        lengths->push_back(w.size());
        words.push_back(w.substr(0, w.find('\0')));
    }
    return words;
}

std::vector<std::string> Lines() {
    std::vector<std::string> lines(GetEventBinCounts(0).lCount);
    const uint32_t n = VisitEventBinLines(
        0, EVENT_BIN_LIST_MAX, [&lines](uint32_t i, const char(&text)[EVENT_BIN_LINE_MAX]) {
            const void* nul = std::memchr(text, '\0', sizeof text);
            FUZZ_CHECK(nul != nullptr);
            if (i < lines.size()) lines[lines.size() - 1 - i] = text;  // oldest first
        });
    FUZZ_CHECK(n == lines.size());
    return lines;
}

void CheckWordReader(const uint8_t* data, size_t size, const std::vector<std::string>& words,
                     const std::vector<size_t>& lengths) {
    const size_t cap = size > 0 ? 1 + data[0] % 64 : 1;
    std::FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (f == nullptr) return;  // fmemopen refuses an empty buffer
    std::vector<char> out(cap + 16, 'Z');
    size_t k = 0;
    bool tooLong = false;
    while (ReadFileWord(f, out.data(), cap, &tooLong)) {
        FUZZ_CHECK(k < words.size());
        const size_t len = std::strlen(out.data());
        FUZZ_CHECK(len < cap);
        FUZZ_CHECK(out[cap] == 'Z');  // nothing written past the buffer
        FUZZ_CHECK(std::string(out.data()) == words[k].substr(0, cap - 1));
        FUZZ_CHECK(tooLong == (lengths[k] >= cap));
        ++k;
    }
    FUZZ_CHECK(out[0] == '\0');
    FUZZ_CHECK(k == words.size());
    std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = [] {
        fuzz::SilenceStdout();
        const std::string dir = fuzz::MakeTempFolder("history");
        SetServerDir(dir.c_str());
        std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
        CtlrEntry& e = GetCtlrEntry(0);
        e.bState = CTLR_STATUS_ALIVE;
        std::snprintf(e.cCtrlSN, sizeof e.cCtrlSN, "%s", kSerial);
        return dir + "/event_bin_" + kSerial + ".txt";
    }();

    std::vector<size_t> lengths;
    const std::vector<std::string> words = Words(data, size, &lengths);
    if (words.size() >= EVENT_BIN_LIST_MAX) return -1;
    CheckWordReader(data, size, words, lengths);

    FUZZ_CHECK(fuzz::WriteFileBytes(path, data, size));
    ReloadEventBinFile(0);
    const std::vector<std::string> lines = Lines();
    std::vector<std::string> expected;
    for (size_t k = 0; k < words.size(); ++k)
        if (lengths[k] < EVENT_BIN_LINE_MAX && !words[k].empty()) expected.push_back(words[k]);
    FUZZ_CHECK(lines == expected);

    ReloadEventBinFile(0);
    FUZZ_CHECK(Lines() == lines);
    return 0;
}

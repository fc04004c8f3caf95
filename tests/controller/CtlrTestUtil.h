// Helpers of the controller tests: table entries set by hand, and stderr captured into a file
// (the card finder's boxes print there when headless, from threads of their own).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "controller/CtlrTable.h"
#include "support/TestSupport.h"

namespace ctlr_test {

inline void ClearTable() {
    for (uint8_t n = 0; n < CTLR_TABLE_SLOTS; ++n)
        ZeroCtlrEntry(n);
}

inline void SetEntry(uint8_t n, const char* devName, const char* sn, uint8_t unitMark = 0,
                     uint8_t state = CTLR_STATUS_ALIVE) {
    std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
    CtlrEntry& e = GetCtlrEntry(n);
    std::memset(&e, 0, sizeof e);
    e.bState = state;
    std::snprintf(e.cDevName, sizeof e.cDevName, "%s", devName);
    std::snprintf(e.cCtrlSN, sizeof e.cCtrlSN, "%s", sn);
    e.bUnitMark = unitMark;
}

inline std::string SerialOf(uint8_t n) {
    CtlrEntry e = SnapshotCtlrEntry(n);
    return std::string(e.cCtrlSN, strnlen(e.cCtrlSN, sizeof e.cCtrlSN));
}

// Counts the occurrences of `what` in `text`.
inline size_t CountOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

// Redirects standard error into a file for the life of the object.
class StderrCapture {
  public:
    StderrCapture() {
        std::fflush(stderr);
        saved_ = dup(2);
        int fd = open(dir_.File("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() {
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
    }
    std::string Text() const { return testing_support::ReadFile(dir_.File("stderr")); }

  private:
    testing_support::TempDir dir_;
    int saved_ = -1;
};

}  // namespace ctlr_test

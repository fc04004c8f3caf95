// Helpers shared by the fuzz targets: checks that end the run as a crash, temporary folders and
// files, and quiet standard output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Ends the run as a crash (abort) with the failed condition, so that libFuzzer keeps the input.
#define FUZZ_CHECK(cond) ((cond) ? void(0) : ::fuzz::CheckFailed(#cond, __FILE__, __LINE__))

namespace fuzz {

[[noreturn]] void CheckFailed(const char* what, const char* file, int line);

// A fresh folder under $TMPDIR (else /tmp), removed with its content when the process exits
// normally. `tag` goes into its name.
std::string MakeTempFolder(const char* tag);

// Writes `size` bytes to `path`, replacing the file. False when it cannot be written.
bool WriteFileBytes(const std::string& path, const uint8_t* data, size_t size);

// Standard output goes to /dev/null: the agent's diagnostics would bury the fuzzer's own lines
// (which go to standard error).
void SilenceStdout();

}  // namespace fuzz

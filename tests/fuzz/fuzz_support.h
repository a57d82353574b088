#pragma once

// What the fuzz targets share: a check that stops the run (libFuzzer keeps
// the input that made it), a private scratch home for every file a target's
// code writes, and quiet standard output.
//
// A target defines LLVMFuzzerTestOneInput (and may define
// LLVMFuzzerInitialize); it is built either with libFuzzer (scripts/fuzz)
// or with replay_main.cpp, which feeds it every file of its seed corpus.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace vandrel::fuzz {

// Prints what went wrong and aborts: a finding.
[[noreturn]] void fail(std::string_view check, std::string_view detail, const char* file,
                       int line);

// The input as text, byte for byte.
inline std::string_view asText(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// A fresh directory for the whole run, with HOME and the XDG variables
// pointing inside it (so the logger, the caches and the defaults write
// there, never into the user's files). Made on the first call, before any
// thread reads the environment; removed when the process exits normally.
const std::filesystem::path& scratchHome();

// Replaces `path` with exactly `bytes` (a regular file, mode 0600).
void writeFile(const std::filesystem::path& path, std::string_view bytes);

// Sends standard output to /dev/null: the logger prints every line there,
// and a fuzzer's own reports go to standard error.
void silenceStandardOutput();

// Runs what the code under test queued on the main queue (the logger's file
// writes), and empties the log file, so nothing piles up from one input to
// the next.
void drainMainQueue();

}  // namespace vandrel::fuzz

// Checks a property of the code under test; `detail` is any expression that
// converts to std::string_view.
#define VANDREL_FUZZ_CHECK(condition, detail)                                 \
  do {                                                                        \
    if (!(condition)) ::vandrel::fuzz::fail(#condition, (detail), __FILE__, __LINE__); \
  } while (false)

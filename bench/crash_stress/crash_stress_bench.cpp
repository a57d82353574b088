// The crash stress program: runs the crash test program N times (200 by
// default) with a fixed-seed mix of crash kinds and checks that each run
// left one complete, parseable record and died of the signal it records.
// Prints how many of each kind ran, every failure and the time taken.
//
//   bench_crash_stress [--count N] [--seed S]
//
// Exit status 0 when every record was complete.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "tests/crash/crasher/crash_stress.h"

int main(int argc, char** argv) {
  int count = 200;
  unsigned seed = 20240611u;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--count") == 0) count = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--seed") == 0)
      seed = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
  }
  std::string scratch =
      (std::filesystem::temp_directory_path() / "flt-crash-stress-XXXXXX").string();
  if (mkdtemp(scratch.data()) == nullptr) {
    std::perror("mkdtemp");
    return 2;
  }
  const auto result = vandrel::crash::crasher::runStress(count, seed, scratch);
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
  for (const auto& [label, runs] : result.runsByScenario)
    std::printf("%5d  %s\n", runs, label.c_str());
  for (const std::string& failure : result.failures) std::printf("FAILED %s\n", failure.c_str());
  std::printf("%d of %d records complete, seed %u, %.1f s (%.0f ms a crash)\n", result.complete,
              result.runs, seed, static_cast<double>(result.elapsed.count()) / 1000.0,
              result.runs > 0 ? static_cast<double>(result.elapsed.count()) / result.runs : 0.0);
  return result.complete == count ? 0 : 1;
}

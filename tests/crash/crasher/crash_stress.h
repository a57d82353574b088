#pragma once

// Many crashes in a row, a fixed-seed mix of every kind the capture must
// hold up under, each checked for one complete record and death by the
// recorded signal. The CI test runs a few dozen; the program under bench/
// runs the full count.

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "tests/crash/crasher/crasher_run.h"

namespace vandrel::crash::crasher {

struct StressScenario {
  const char* label;
  std::vector<std::string> arguments;
};

inline const std::vector<StressScenario>& stressScenarios() {
  static const std::vector<StressScenario> scenarios = {
      {"two threads at once", {"together", "2"}},
      {"eight threads at once", {"together", "8"}},
      {"a thread that blocks every signal", {"blocker"}},
      {"overflow on main", {"overflow", "main"}},
      {"overflow on a pool thread", {"overflow", "pool"}},
      {"overflow on a library's thread", {"overflow", "library"}},
      {"overflow on a C++ runtime thread", {"overflow", "std-thread"}},
      {"overflow on a thread from before set-up", {"overflow", "early-foreign"}},
      {"20000 frames deep", {"deep", "20000"}},
      {"300 threads", {"threads", "300"}},
      {"segmentation fault", {"signal", "segv"}},
      {"abort", {"signal", "abort"}},
      {"bus error", {"signal", "bus"}},
      {"division by zero", {"signal", "fpe"}},
      {"illegal instruction", {"signal", "ill"}},
      {"breakpoint", {"signal", "trap"}},
  };
  return scenarios;
}

struct StressResult {
  int runs = 0;
  int complete = 0;
  std::map<std::string, int> runsByScenario;
  std::vector<std::string> failures;  // "run N (scenario): what is wrong"
  std::chrono::milliseconds elapsed{0};
};

// Runs `count` crashes, each in a fresh directory under `scratch`.
inline StressResult runStress(int count, unsigned seed, const std::filesystem::path& scratch) {
  StressResult result;
  std::mt19937 random(seed);
  std::uniform_int_distribution<std::size_t> pick(0, stressScenarios().size() - 1);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    const StressScenario& scenario = stressScenarios()[pick(random)];
    std::string pattern = (scratch / "run-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      result.failures.push_back("run " + std::to_string(i) + ": no scratch directory");
      continue;
    }
    const CrashRun run = runCrasher(pattern, scenario.arguments);
    ++result.runs;
    ++result.runsByScenario[scenario.label];
    const std::string problem = problemWith(run);
    if (problem.empty()) {
      ++result.complete;
    } else {
      result.failures.push_back("run " + std::to_string(i) + " (" + scenario.label +
                                "): " + problem);
    }
    std::error_code ignored;
    std::filesystem::remove_all(pattern, ignored);
  }
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  return result;
}

}  // namespace vandrel::crash::crasher

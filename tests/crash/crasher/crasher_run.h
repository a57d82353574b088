#pragma once

// Runs the crash test program (flt_crasher) as a forked, exec'd child and
// reads back what it left: the wait status, the record file, the facts it
// wrote and the SDK log. Shared by the capture tests and the crash stress
// program.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace vandrel::crash::crasher {

inline const char* crasherPath() { return FLT_CRASHER_PATH; }

// The sections a crash record holds, in order.
inline const std::vector<std::string>& recordSections() {
  static const std::vector<std::string> names = {
      "signal",       "threads",       "runtime", "dispatch_queue_names",
      "thread_names", "process_stats", "storage"};
  return names;
}

struct CrashRun {
  bool finished = false;                           // false: killed after the time limit
  int status = 0;                                  // wait status
  std::vector<std::string> lines;                  // signal.fltrecord, line by line
  std::map<std::string, nlohmann::json> sections;  // each line's one section
  std::map<std::string, std::string> facts;
  std::string sdkLog;

  const nlohmann::json& section(const std::string& name) const {
    static const nlohmann::json none;
    const auto found = sections.find(name);
    return found == sections.end() ? none : found->second;
  }
  // The threads of the record that carry "crashed".
  int crashedThreads() const {
    int count = 0;
    for (const auto& thread : section("threads")) count += thread.contains("crashed") ? 1 : 0;
    return count;
  }
  const nlohmann::json* crashedThread() const {
    for (const auto& thread : section("threads")) {
      if (thread.contains("crashed")) return &thread;
    }
    return nullptr;
  }
};

inline std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void readBack(const std::string& directory, CrashRun* run) {
  std::istringstream lines(readText(directory + "/signal.fltrecord"));
  for (std::string line; std::getline(lines, line);) {
    run->lines.push_back(line);
    const nlohmann::json parsed = nlohmann::json::parse(line, nullptr, false);
    if (!parsed.is_discarded() && parsed.is_object() && parsed.size() == 1) {
      run->sections[parsed.begin().key()] = parsed.begin().value();
    }
  }
  std::istringstream facts(readText(directory + "/facts"));
  for (std::string line; std::getline(facts, line);) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) run->facts[line.substr(0, equals)] = line.substr(equals + 1);
  }
  run->sdkLog = readText(directory + "/sdk.log");
}

// Runs `flt_crasher <directory> <arguments...>` with `environment` added
// to (or, for an absent value, taken out of) this process's environment.
// Waits at most `limit`; a child still running then is killed by its pid.
inline CrashRun runCrasher(
    const std::string& directory, const std::vector<std::string>& arguments,
    const std::vector<std::pair<std::string, std::optional<std::string>>>& environment = {},
    std::chrono::seconds limit = std::chrono::seconds(60)) {
  std::vector<std::string> argv = {crasherPath(), directory};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    bool replaced = false;
    for (const auto& [name, value] : environment)
      replaced = replaced || text.rfind(name + "=", 0) == 0;
    if (!replaced) env.push_back(text);
  }
  for (const auto& [name, value] : environment) {
    if (value) env.push_back(name + "=" + *value);
  }
  std::vector<char*> argvPointers, envPointers;
  for (auto& item : argv) argvPointers.push_back(item.data());
  for (auto& item : env) envPointers.push_back(item.data());
  argvPointers.push_back(nullptr);
  envPointers.push_back(nullptr);

  CrashRun run;
  const pid_t pid = fork();
  if (pid == 0) {
    execve(argvPointers[0], argvPointers.data(), envPointers.data());
    _exit(127);
  }
  if (pid < 0) return run;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const pid_t done = waitpid(pid, &run.status, WNOHANG);
    if (done == pid) {
      run.finished = true;
      break;
    }
    if (done < 0 || std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &run.status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  readBack(directory, &run);
  return run;
}

// Empty when the run left one complete record and died of the signal it
// recorded; otherwise what is wrong.
inline std::string problemWith(const CrashRun& run) {
  if (!run.finished) return "the crasher did not finish in time";
  const auto& names = recordSections();
  if (run.lines.size() != names.size()) {
    return "the record has " + std::to_string(run.lines.size()) + " lines, not " +
           std::to_string(names.size());
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    const nlohmann::json parsed = nlohmann::json::parse(run.lines[i], nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object() || parsed.size() != 1 ||
        !parsed.contains(names[i])) {
      return "line " + std::to_string(i + 1) + " is not the " + names[i] +
             " section: " + run.lines[i].substr(0, 200);
    }
  }
  if (run.crashedThreads() != 1) {
    return std::to_string(run.crashedThreads()) + " threads are marked crashed";
  }
  if (run.section("thread_names").size() != run.section("dispatch_queue_names").size()) {
    return "the name arrays differ in length";
  }
  const nlohmann::json& number = run.section("signal")["number"];
  if (!number.is_number_integer()) return "the signal line has no number";
  if (!WIFSIGNALED(run.status)) {
    return "the process did not die of a signal (wait status " + std::to_string(run.status) + ")";
  }
  if (WTERMSIG(run.status) != number.get<int>()) {
    return "the process died of signal " + std::to_string(WTERMSIG(run.status)) +
           ", the record names " + std::to_string(number.get<int>());
  }
  return {};
}

}  // namespace vandrel::crash::crasher

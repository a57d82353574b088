// Crash capture as a crashing program meets it: each case runs the crash
// test program in a forked child, with capture set up as the application
// sets it up, and reads back the record it left.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/crash/crasher/crasher_run.h"
#include "tests/support/temp_dir.h"

namespace vandrel::crash {
namespace {

using crasher::CrashRun;
using crasher::problemWith;
using crasher::runCrasher;
using nlohmann::json;
using test_support::TempDir;

bool logHas(const CrashRun& run, const std::string& text) {
  return run.sdkLog.find(text) != std::string::npos;
}

std::uint64_t factNumber(const CrashRun& run, const std::string& key) {
  const auto found = run.facts.find(key);
  return found == run.facts.end() ? 0 : std::stoull(found->second);
}

TEST(FLTCrashCaptureTest, FaultsOnSeveralThreadsAtOnceLeaveOneCompleteRecordAndDieOfTheFirst) {
  for (const int threads : {2, 8}) {
    // Several rounds: which thread wins, and where the others stand then,
    // differs from run to run.
    for (int round = 0; round < 5; ++round) {
      SCOPED_TRACE(testing::Message() << threads << " threads, round " << round);
      TempDir dir("flt-together");
      const CrashRun run = runCrasher(dir.path().string(), {"together", std::to_string(threads)});
      EXPECT_EQ(problemWith(run), "");
      // Every thread was held and recorded, the late faulters with the
      // registers of their own fault.
      EXPECT_EQ(run.section("threads").size(), run.section("thread_names").size());
      EXPECT_FALSE(logHas(run, "Error: the first crash was not recorded in time"));
    }
  }
}

TEST(FLTCrashCaptureTest, ThreadThatBlocksEverySignalIsSkippedAndTheRestRecorded) {
  TempDir dir("flt-blocker");
  const CrashRun run = runCrasher(dir.path().string(), {"blocker"});
  ASSERT_EQ(problemWith(run), "");
  // The blocking thread comes before the faulting one in the list; only it
  // is left out.
  EXPECT_EQ(run.section("threads").size() + 1, run.section("thread_names").size());
  const json* crashed = run.crashedThread();
  ASSERT_NE(crashed, nullptr);
  ASSERT_FALSE((*crashed)["stacktrace"].empty());
  EXPECT_EQ((*crashed)["stacktrace"][0], (*crashed)["registers"]["rip"]);
  const json& names = run.section("thread_names");
  const auto blocker = std::find(names.begin(), names.end(), "flt-blocker");
  const auto faulting = std::find(names.begin(), names.end(), "flt-faulting");
  ASSERT_NE(blocker, names.end());
  ASSERT_NE(faulting, names.end());
  EXPECT_LT(blocker - names.begin(), faulting - names.begin());
  // Not waited for beyond a short grace: it cannot answer.
  EXPECT_TRUE(logHas(run, "blocks the thread state signal"));
  EXPECT_TRUE(logHas(run, "failed to get thread state"));
}

TEST(FLTCrashCaptureTest, StackOverflowOnAnyThreadIsRecorded) {
  const char* places[] = {
      "main",           // the thread that set capture up
      "pool",           // a worker of the global queue
      "std-thread",     // started by the C++ runtime's library
      "library",        // started from inside a shared library
      "early-foreign",  // started before set-up, past our pthread_create
  };
  for (const char* place : places) {
    SCOPED_TRACE(place);
    TempDir dir("flt-overflow");
    const CrashRun run = runCrasher(dir.path().string(), {"overflow", place});
    ASSERT_EQ(problemWith(run), "");
    EXPECT_EQ(run.section("signal")["number"], SIGSEGV);
    const json* crashed = run.crashedThread();
    ASSERT_NE(crashed, nullptr);
    EXPECT_TRUE(crashed->contains("repeated_pc")) << "the recursion is in the record";
  }
}

TEST(FLTCrashCaptureTest, DeepStackIsRecordedDownToMain) {
  TempDir dir("flt-deep");
  const CrashRun run = runCrasher(dir.path().string(), {"deep", "20000"});
  ASSERT_EQ(problemWith(run), "");
  const json* crashed = run.crashedThread();
  ASSERT_NE(crashed, nullptr);
  EXPECT_GE((*crashed)["repeat_count"].get<std::uint64_t>(), 19990u);
  // A caller's frame is written as its return address.
  const std::uint64_t inMain = factNumber(run, "main_return");
  const json& trace = (*crashed)["stacktrace"];
  EXPECT_NE(std::find(trace.begin(), trace.end(), inMain), trace.end()) << trace.dump();
  EXPECT_LT(trace.size(), 64u) << "the recursion is counted, not written out";
}

TEST(FLTCrashCaptureTest, OnlySignalsTheKernelRaisesForAFaultCarryAnAddress) {
  struct Case {
    const char* kind;
    int signal;
    bool hasAddress;
    std::uint64_t address;  // when known
  };
  const Case cases[] = {
      {"segv", SIGSEGV, true, 16},
      {"fpe", SIGFPE, true, 0},  // the faulting instruction
      {"ill", SIGILL, true, 0},
      {"abort", SIGABRT, false, 0},       // si_addr would hold the sender
      {"raise-segv", SIGSEGV, false, 0},  // sent, not raised by a fault
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    TempDir dir("flt-address");
    const CrashRun run = runCrasher(dir.path().string(), {"signal", c.kind});
    ASSERT_EQ(problemWith(run), "");
    const json& line = run.section("signal");
    EXPECT_EQ(line["number"], c.signal);
    const std::uint64_t address = line["address"].get<std::uint64_t>();
    if (!c.hasAddress) {
      EXPECT_EQ(address, 0u);
    } else if (c.address != 0) {
      EXPECT_EQ(address, c.address);
    } else {
      EXPECT_EQ(address, (*run.crashedThread())["registers"]["rip"].get<std::uint64_t>());
    }
  }
}

TEST(FLTCrashCaptureTest, StorageMeasuresTheHomeVolumeWhenThereIsNoDocumentsFolder) {
  TempDir dir("flt-storage");
  const std::string home = (dir.path() / "home").string();
  std::filesystem::create_directories(home);
  const CrashRun run = runCrasher(
      dir.path().string(), {"signal", "segv"},
      {{"HOME", home}, {"XDG_CONFIG_HOME", std::nullopt}, {"XDG_DOCUMENTS_DIR", std::nullopt}});
  ASSERT_EQ(problemWith(run), "");
  const json& storage = run.section("storage");
  ASSERT_TRUE(storage.contains("total")) << storage;
  EXPECT_GT(storage["total"].get<std::uint64_t>(), 0u);
  EXPECT_LE(storage["free"].get<std::uint64_t>(), storage["total"].get<std::uint64_t>());
  EXPECT_FALSE(std::filesystem::exists(home + "/Documents")) << "measuring creates nothing";
}

TEST(FLTCrashCaptureTest, EveryThreadOfAProcessWithThreeHundredIsRecorded) {
  TempDir dir("flt-many");
  const CrashRun run = runCrasher(dir.path().string(), {"threads", "300"});
  ASSERT_EQ(problemWith(run), "");
  EXPECT_GT(run.section("threads").size(), 300u);
  EXPECT_EQ(run.section("threads").size(), run.section("thread_names").size());
}

TEST(FLTCrashCaptureTest, SignalTheApplicationWantsDeliveredReachesItsHandlerAfterTheRecord) {
  TempDir dir("flt-deliver");
  const CrashRun run = runCrasher(dir.path().string(), {"deliver"});
  ASSERT_TRUE(run.finished);
  ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 42) << "status " << run.status;
  // The application's handler saw the fault as the kernel raised it.
  EXPECT_EQ(crasher::readText(dir.file("delivered")), "application 1 16\n");
  ASSERT_EQ(run.lines.size(), crasher::recordSections().size());
  EXPECT_EQ(run.section("signal")["number"], SIGSEGV);
  EXPECT_EQ(run.crashedThreads(), 1);
}

TEST(FLTCrashCaptureTest, ThreadsGiveTheirSignalStacksBackWhenTheyEnd) {
  TempDir dir("flt-churn");
  const CrashRun run = runCrasher(dir.path().string(), {"churn", "400"});
  ASSERT_TRUE(run.finished);
  ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << "status " << run.status;
  EXPECT_EQ(run.facts.at("live_after"), run.facts.at("live_before"));
  // 400 stacks kept would be 100 MiB more.
  const long grown =
      std::stol(run.facts.at("vm_after_kb")) - std::stol(run.facts.at("vm_before_kb"));
  EXPECT_LT(grown, 16 * 1024) << "kB";
}

}  // namespace
}  // namespace vandrel::crash

// Crash-time process facts. Everything that records runs in a forked child:
// parking threads and signal handlers must never touch the test process.

#include "crash/capture/flt_process.h"

#include <pthread.h>
#include <sys/syscall.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <sstream>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "crash/capture/flt_context.h"
#include "crash/capture/flt_host.h"
#include "crash/capture/flt_record_writer.h"
#include "tests/crash/capture_test_support.h"
#include "tests/support/sanitizers.h"

namespace vandrel::crash {
namespace {

using capture_test::readFile;
using capture_test::waitForChild;
using nlohmann::json;

std::string gRecordPath;
std::atomic<bool> gStop{false};

pid_t tid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

void recordCrash(pid_t crashed, const ucontext_t* context) {
  FLTFile file;
  if (!FLTFileInitWithPathMode(&file, gRecordPath.c_str(), true, false)) _exit(3);
  FLTHandler(&file, crashed, context);
  FLTFileCloseWithOffset(&file, nullptr);
}

void segvHandler(int, siginfo_t*, void* context) {
  recordCrash(tid(), static_cast<const ucontext_t*>(context));
  gStop.store(true);
  _exit(0);
}

void worker(const char* name, bool blockStateSignal) {
  pthread_setname_np(pthread_self(), name);
  if (blockStateSignal) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, FLTProcessThreadStateSignal());
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
  }
  while (!gStop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Sections by name, each line parsed; a line that is not JSON is kept as a
// string so the test shows it.
std::map<std::string, json> sections(const std::string& path) {
  std::map<std::string, json> result;
  std::istringstream lines(readFile(path));
  for (std::string line; std::getline(lines, line);) {
    json parsed = json::parse(line, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object() || parsed.size() != 1) {
      result["<invalid>"] = line;
      continue;
    }
    result[parsed.begin().key()] = parsed.begin().value();
  }
  return result;
}

class FLTProcessTest : public capture_test::SdkLogTest {
 protected:
  // Runs `body` in a child that must exit 0 and leaves the record behind.
  template <typename Body>
  void runChild(Body body) {
    gRecordPath = path("signal.fltrecord");
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      body();
      _exit(0);
    }
    int status = 0;
    ASSERT_TRUE(waitForChild(pid, &status));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
};

void crashWithWorkers(bool blockInOne) {
  std::thread a(worker, "flt-worker-a", false);
  std::thread b(worker, "flt-worker-b", blockInOne);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the names take
  struct sigaction action {};
  action.sa_sigaction = segvHandler;
  action.sa_flags = SA_SIGINFO;
  sigaction(SIGSEGV, &action, nullptr);
  // Not a null pointer: that would be undefined behaviour the sanitizer
  // stops on before the fault.
  *reinterpret_cast<volatile int*>(std::uintptr_t{16}) = 1;
  a.join();
  b.join();
}

TEST_F(FLTProcessTest, SegfaultRecordsEveryThreadAndEverySection) {
  if (test_support::kUnderThreadSanitizer) {
    GTEST_SKIP() << "its crash parks the other threads with a signal; ThreadSanitizer defers signal "
                    "handlers and runs a thread of its own";
  }
  runChild([] { crashWithWorkers(false); });
  auto s = sections(gRecordPath);
  ASSERT_EQ(s.count("<invalid>"), 0u) << s["<invalid>"];
  for (const char* name : {"threads", "runtime", "dispatch_queue_names", "thread_names",
                           "process_stats", "storage"}) {
    EXPECT_EQ(s.count(name), 1u) << name;
  }
  const json& threads = s["threads"];
  ASSERT_EQ(threads.size(), 3u);
  int crashed = 0;
  for (const json& thread : threads) {
    EXPECT_NE(thread["registers"]["rip"].get<std::uint64_t>(), 0u);
    EXPECT_NE(thread["registers"]["rsp"].get<std::uint64_t>(), 0u);
    ASSERT_FALSE(thread["stacktrace"].empty());
    EXPECT_EQ(thread["stacktrace"][0], thread["registers"]["rip"]);
    if (thread.contains("crashed")) {
      ++crashed;
      EXPECT_EQ(thread["crashed"], true);
    }
  }
  EXPECT_EQ(crashed, 1);
  // Both name arrays run parallel to the thread list.
  EXPECT_EQ(s["dispatch_queue_names"], json::array({"", "", ""}));
  ASSERT_EQ(s["thread_names"].size(), 3u);
  EXPECT_EQ(s["thread_names"][1], "flt-worker-a");
  EXPECT_EQ(s["thread_names"][2], "flt-worker-b");
  EXPECT_EQ(s["runtime"]["objc_selector"], "");
  EXPECT_EQ(s["runtime"]["crash_info_entries"], json::array());
  EXPECT_GT(s["process_stats"]["resident"].get<std::uint64_t>(), 0u);
  EXPECT_EQ(s["process_stats"]["freeMem"], s["process_stats"]["free_mem"]);
  EXPECT_NE(log().find("completed recording all thread data\n"), std::string::npos);
}

TEST_F(FLTProcessTest, ThreadThatCannotBeParkedIsLeftOutAndTheLineStaysValid) {
  if (test_support::kUnderThreadSanitizer) {
    GTEST_SKIP() << "its crash parks the other threads with a signal; ThreadSanitizer defers signal "
                    "handlers and runs a thread of its own";
  }
  runChild([] { crashWithWorkers(true); });
  auto s = sections(gRecordPath);
  ASSERT_EQ(s.count("<invalid>"), 0u) << s["<invalid>"];
  EXPECT_EQ(s["threads"].size(), 2u) << "all but the blocking thread";
  EXPECT_EQ(s["thread_names"].size(), 3u);
  EXPECT_NE(log().find("unable to get thread state"), std::string::npos);
  EXPECT_NE(log().find("unable to suspend all threads\n"), std::string::npos);
}

std::uintptr_t gRecursionReturn = 0;

__attribute__((noinline, optimize("no-omit-frame-pointer"))) int recurse(int depth) {
  if (depth == 0) {
    ucontext_t context;
    getcontext(&context);
    recordCrash(tid(), &context);
    return 0;
  }
  const int result = recurse(depth - 1);
  if (depth == 1) gRecursionReturn = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  return result + 1;  // not a tail call: every level keeps its frame
}

TEST_F(FLTProcessTest, DeepRecursionWritesTenCopiesThenTheRepeatCount) {
  gRecordPath = path("signal.fltrecord");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The return address into recurse() from itself, learnt by a dry run.
    recurse(2);
    const std::uintptr_t inner = gRecursionReturn;
    unlink(gRecordPath.c_str());
    recurse(30);
    std::ofstream(gRecordPath + ".pc") << inner;
    _exit(0);
  }
  int status = 0;
  ASSERT_TRUE(waitForChild(pid, &status));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const std::uint64_t repeating = std::stoull(readFile(gRecordPath + ".pc"));
  auto s = sections(gRecordPath);
  ASSERT_EQ(s["threads"].size(), 1u);
  const json& thread = s["threads"][0];
  int copies = 0;
  for (const json& pc : thread["stacktrace"]) copies += pc.get<std::uint64_t>() == repeating;
  EXPECT_EQ(copies, 10);
  EXPECT_EQ(thread["repeated_pc"], repeating);
  // 30 frames return to the same place; the first counts 0.
  EXPECT_EQ(thread["repeat_count"], 29);
  EXPECT_NE(log().find("Possible infinite recursion - suppressing logging\n"), std::string::npos);
}

TEST_F(FLTProcessTest, StorageMeasuresTheVolumeOrIsEmpty) {
  runChild([this] {
    FLTFile file;
    if (!FLTFileInitWithPathMode(&file, gRecordPath.c_str(), true, false)) _exit(3);
    FLTHostRecordStorage(&file, path("").c_str());
    FLTHostRecordStorage(&file, path("missing/dir").c_str());
    FLTHostRecordStorage(&file, nullptr);
    FLTFileCloseWithOffset(&file, nullptr);
  });
  std::istringstream lines(readFile(gRecordPath));
  std::string line;
  ASSERT_TRUE(std::getline(lines, line));
  const json measured = json::parse(line)["storage"];
  EXPECT_GT(measured["total"].get<std::uint64_t>(), 0u);
  EXPECT_LE(measured["free"].get<std::uint64_t>(), measured["total"].get<std::uint64_t>());
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "{\"storage\":{}}");
  }
}

TEST(FLTHostTest, OSVersionCodeFollowsTheMinorNumberOnly) {
  const struct {
    std::int64_t major, minor, code;
  } cases[] = {{10, 5, 0},       {10, 6, 1060},     {10, 9, 1090},     {10, 10, 101000},
               {11, 16, 101600}, {12, 17, 0},       {13, 0, 0},        {3, 7, 1070}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.major << "." << c.minor);
    EXPECT_EQ(FLTHostGetOSVersionCode(TRLOperatingSystemVersionValue{c.major, c.minor, 0}), c.code);
  }
}

TEST(FLTHostTest, MeasuredDirectoryIsTheDocumentsFolderWhenThereIsOneElseHome) {
  struct Case {
    const char* name;
    const char* folder;    // made under home, when not null
    const char* userDirs;  // the XDG_DOCUMENTS_DIR line of user-dirs.dirs, when not null
    bool fromEnvironment;  // XDG_DOCUMENTS_DIR names <root>/elsewhere
    const char* expected;  // under the root
  };
  const Case cases[] = {
      {"no documents folder at all", nullptr, nullptr, false, "home"},
      {"the usual folder", "Documents", nullptr, false, "home/Documents"},
      {"a folder user-dirs names", "Dokumente", "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"", false,
       "home/Dokumente"},
      {"a folder user-dirs names that is gone", nullptr, "XDG_DOCUMENTS_DIR=\"$HOME/Gone\"", false,
       "home"},
      {"the environment's folder", nullptr, nullptr, true, "elsewhere"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test_support::TempDir root("flt-host-documents");
    const std::string home = root.file("home");
    std::filesystem::create_directories(home + "/.config");
    if (c.folder != nullptr) std::filesystem::create_directories(home + "/" + c.folder);
    if (c.userDirs != nullptr)
      std::ofstream(home + "/.config/user-dirs.dirs") << "# made by hand\n" << c.userDirs << "\n";
    std::filesystem::create_directories(root.file("elsewhere"));
    test_support::ScopedEnv homeVariable("HOME", home);
    test_support::ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
    test_support::ScopedEnv documents(
        "XDG_DOCUMENTS_DIR",
        c.fromEnvironment ? std::optional(root.file("elsewhere")) : std::nullopt);
    FLTReadOnlyContext readOnly{};
    FLTHostInitialize(&readOnly, nullptr, nullptr);
    ASSERT_NE(readOnly.measuredDirectory, nullptr);
    EXPECT_EQ(std::string(readOnly.measuredDirectory), root.file(c.expected));
    if (c.folder == nullptr) {
      EXPECT_FALSE(std::filesystem::exists(home + "/Documents")) << "measuring makes nothing";
    }
    std::free(const_cast<char*>(readOnly.measuredDirectory));
  }
}

TEST_F(FLTProcessTest, HostLineIsValidJsonEvenWithQuotesInFirmwareText) {
  const std::string root = path("root");
  std::filesystem::create_directories(root + "/sys/devices/virtual/dmi/id");
  std::filesystem::create_directories(root + "/etc");
  std::ofstream(root + "/sys/devices/virtual/dmi/id/product_name") << "Box \"9\" \\ X\n";
  std::ofstream(root + "/etc/os-release") << "VERSION_ID=\"12.4\"\n";
  const std::string record = path("metadata.fltrecord");
  FLTFile file;
  ASSERT_TRUE(FLTFileInitWithPathMode(&file, record.c_str(), true, false));
  ASSERT_TRUE(FLTHostWriteInfo(&file, SystemFactsSource{root}));
  FLTFileCloseWithOffset(&file, nullptr);
  const json host = json::parse(readFile(record))["host"];
  EXPECT_EQ(host["model"], "Box _9_ _ X");
  EXPECT_EQ(host["cpu"], "(failed)") << "no cpuinfo below the root";
  EXPECT_EQ(host["os_display_version"], "12.4.0");
  EXPECT_EQ(host["platform"], "mac");
  EXPECT_TRUE(host["machine"].is_string());
  EXPECT_TRUE(host["locale"].is_string());
  EXPECT_TRUE(host.contains("os_build_version"));
}

}  // namespace
}  // namespace vandrel::crash

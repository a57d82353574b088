#include "crash/capture/flt_context.h"

#include <signal.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crash/capture/flt_allocator.h"
#include "crash/capture/flt_record_reader.h"
#include "crash/capture/flt_record_writer.h"
#include "crash/capture/flt_utilities.h"
#include "tests/support/temp_dir.h"

namespace vandrel::crash {
namespace {

using namespace std::chrono_literals;

// Every set-up runs in a forked child: the context is once per process and
// its read-only half is write-protected afterwards. The parent never starts
// the global queue, so each child brings up workers of its own.

// ---- Hooks standing in for the capture parts (child-side state) -----------

enum HookBit : unsigned {
  kHost = 1, kUserLogging = 2, kBinaryImages = 4, kSignal = 8, kMach = 16, kException = 32
};
std::atomic<unsigned> gHooksRun{0};
std::atomic<bool> gReleaseHost{true};

void hostSetUp(FLTReadOnlyContext* readOnly, FLTWritableContext*, FLTAllocator* allocator) {
  // Stands in for a slow host query: holds its item until released.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!gReleaseHost.load() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  readOnly->pageSize = 4096;
  readOnly->measuredDirectory = FLTDupString(allocator, "/tmp");
  gHooksRun |= kHost;
}
void userLoggingSetUp(FLTReadOnlyContext*, FLTWritableContext*, FLTAllocator*) {
  gHooksRun |= kUserLogging;
}
void binaryImageSetUp(FLTReadOnlyContext*, FLTWritableContext*, FLTAllocator*) {
  gHooksRun |= kBinaryImages;
}
void signalSetUp(FLTReadOnlyContext* readOnly, FLTWritableContext*, FLTAllocator* allocator) {
  // A capture part keeps its own context in the read-only region.
  readOnly->signal = static_cast<FLTSignalContext*>(
      FLTAllocatorSafeAllocate(allocator, 64, kFLTAllocationTypeReadOnly));
  gHooksRun |= kSignal;
}
void machSetUp(FLTReadOnlyContext*, FLTWritableContext*, FLTAllocator*) { gHooksRun |= kMach; }
void exceptionSetUp(FLTReadOnlyContext*, FLTWritableContext*, FLTAllocator*) {
  gHooksRun |= kException;
}
bool writeLine(FLTFile* file, const char* section) {
  FLTFileWriteSectionStart(file, section);
  FLTFileWriteHashStart(file);
  FLTFileWriteHashEntryString(file, "from", "hook");
  FLTFileWriteHashEnd(file);
  FLTFileWriteSectionEnd(file);
  return true;
}
bool hostLine(FLTFile* file) { return writeLine(file, "host"); }
bool executableLine(FLTFile* file) { return writeLine(file, "executable"); }

void registerAllHooks() {
  FLTContextRegisterHostSetUp(hostSetUp, hostLine);
  FLTContextRegisterUserLoggingSetUp(userLoggingSetUp);
  FLTContextRegisterBinaryImageSetUp(binaryImageSetUp, executableLine);
  FLTContextRegisterSignalSetUp(signalSetUp);
  FLTContextRegisterMachExceptionSetUp(machSetUp);
  FLTContextRegisterExceptionSetUp(exceptionSetUp);
}

struct Delegates final : FLTCrashDetectedDelegate, FLTCrashCallbackDelegate {
  void potentiallySubmittableCrashOccurred() override {}
  void deliverCrashDelegateCallback() override {}
};
Delegates gDelegates;

// ---- Running a child and reading what it saw -------------------------------

using Facts = std::map<std::string, std::string>;

struct ChildRun {
  int status = 0;
  Facts facts;
  bool exitedWith(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
  bool killedBy(int signal) const { return WIFSIGNALED(status) && WTERMSIG(status) == signal; }
};

constexpr int kChildSkip = 77;

using test_support::readFile;

// Waits up to 10 s; a traced child stopped by a signal is let go on.
::testing::AssertionResult waitForChild(pid_t pid, int* status) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    const pid_t done = waitpid(pid, status, WNOHANG);
    if (done < 0) return ::testing::AssertionFailure() << "waitpid failed";
    if (done == pid && WIFSTOPPED(*status)) {
      const int signal = WSTOPSIG(*status);
      ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(signal)));
      continue;
    }
    if (done == pid) return ::testing::AssertionSuccess();
    std::this_thread::sleep_for(2ms);
  }
  kill(pid, SIGKILL);
  waitpid(pid, status, 0);
  return ::testing::AssertionFailure() << "child did not finish in time";
}

class FLTContextTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return dir_.file(name); }
  std::string log() const { return readFile(path("sdk.log")); }

  // Runs `body` in a child that exits 0 after writing its facts ("key=value"
  // lines) to a file of the temp dir.
  ChildRun runInChild(const std::function<void(Facts&)>& body, bool traced = false) {
    const std::string factsPath = scratch_.file("facts");
    ChildRun run;
    const pid_t pid = fork();
    if (pid == 0) {
      // A fault must end the child, whatever handler the test runner put in.
      signal(SIGSEGV, SIG_DFL);
      signal(SIGBUS, SIG_DFL);
      if (traced && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(kChildSkip);
      Facts facts;
      body(facts);
      std::ofstream out(factsPath);
      for (const auto& [key, value] : facts) out << key << '=' << value << '\n';
      out.close();
      _exit(0);
    }
    EXPECT_GT(pid, 0);
    EXPECT_TRUE(waitForChild(pid, &run.status));
    std::istringstream lines(readFile(factsPath));
    for (std::string line; std::getline(lines, line);) {
      const auto equals = line.find('=');
      if (equals != std::string::npos) run.facts[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return run;
  }

  FLTContextInitParameters parameters() const {
    FLTContextInitParameters p;
    p.apiKey = "0123456789abcdef";
    p.crashDetectedDelegate = &gDelegates;
    p.firstInstall = true;
    p.crashCallbackDelegate = &gDelegates;
    p.reportDirectory = dirPath_.c_str();
    p.sessionIdentifier = "5F1E2D3C4B5A69788796A5B4C3D2E1F0";
    p.installIdentifier = "INSTALL-1";
    p.machExceptionMaskToIgnore = 0x400;
    p.errorReportingEnabled = true;
    p.customExceptionsEnabled = true;
    p.maxCustomExceptions = 8;
    p.errorLogBufferSize = 1024;
    p.logBufferSize = 65536;
    p.maxCustomKeys = 64;
    return p;
  }

  std::vector<platform::Value> metadata() const {
    auto sections = FLTFileReadSections(path("metadata.fltrecord").c_str(), false);
    if (!sections.ok()) return {};
    EXPECT_TRUE(sections.value().complete());
    return sections.value().sections;
  }

  test_support::TempDir dir_{"flt-context-test"};
  test_support::TempDir scratch_{"flt-context-facts"};
  std::string dirPath_ = dir_.path().string();
};

std::string str(const char* text) { return text == nullptr ? "(null)" : text; }
std::string yes(bool value) { return value ? "yes" : "no"; }

std::string sectionName(const platform::Value& line) {
  const auto* dictionary = line.asDictionary();
  return dictionary != nullptr && dictionary->size() == 1 ? dictionary->begin()->first : "";
}

// ---- Tests -----------------------------------------------------------------

TEST_F(FLTContextTest, InitializeFillsBothContextsAndRunsEveryPartsSetUp) {
  { std::ofstream(path("sdk.log")) << "stale line from the last launch\n"; }
  const FLTContextInitParameters p = parameters();
  const ChildRun run = runInChild([&](Facts& facts) {
    registerAllHooks();
    facts["result"] = yes(FLTContextInitialize(&p));
    facts["initialized"] = yes(FLTContextIsInitialized());
    facts["hooks"] = std::to_string(gHooksRun.load());
    const FLTReadOnlyContext* ro = FLTContextReadOnly();
    const FLTWritableContext* rw = FLTContextWritable();
    FLTAllocator* allocator = FLTContextAllocator();
    facts["protected"] = yes(allocator->isProtected.load());
    facts["sdk_log"] = str(ro->sdkLog.path);
    facts["binary_images"] = str(ro->binaryImagePath);
    facts["signal"] = str(ro->signalPath);
    facts["mach"] = str(ro->machExceptionPath);
    facts["exception"] = str(ro->exceptionPath);
    facts["measured"] = str(ro->measuredDirectory);
    facts["mask"] = std::to_string(ro->machExceptionMaskToIgnore);
    facts["custom_limit"] = std::to_string(ro->customExceptionLimit);
    facts["limits"] = std::to_string(ro->userLoggingLimits.maxCustomKeys) + "/" +
                      std::to_string(ro->userLoggingLimits.logBufferSize) + "/" +
                      yes(ro->userLoggingLimits.errorReportingEnabled);
    facts["delegates"] = yes(ro->crashDetectedDelegate == &gDelegates &&
                             ro->crashCallbackDelegate == &gDelegates && ro->firstInstall);
    facts["debugger"] = yes(ro->debuggerAttached);
    facts["min_level"] = std::to_string(rw->sdkLog.minimumLevel);
    facts["crashed"] = yes(rw->crashOccurred.load());
    // What crash time relies on lies in the guarded regions.
    facts["in_regions"] = yes(FLTAllocatorContains(allocator, ro) &&
                              FLTAllocatorContains(allocator, rw) &&
                              FLTAllocatorContains(allocator, ro->sdkLog.path) &&
                              FLTAllocatorContains(allocator, ro->signalPath) &&
                              FLTAllocatorContains(allocator, ro->signal));
    const auto* mach = static_cast<const unsigned char*>(ro->machExceptionServerStack);
    const auto* alt = static_cast<const unsigned char*>(ro->signalStack);
    facts["stacks"] = yes(FLTAllocatorContains(allocator, mach) &&
                          FLTAllocatorContains(allocator, alt) &&
                          (mach + kFLTContextStackSize <= alt || alt + kFLTContextStackSize <= mach) &&
                          mach[0] == 0 && mach[kFLTContextStackSize - 1] == 0 &&
                          alt[kFLTContextStackSize - 1] == 0);
  });
  ASSERT_TRUE(run.exitedWith(0));
  Facts expected = {
      {"result", "yes"}, {"initialized", "yes"}, {"hooks", "63"}, {"protected", "yes"},
      {"sdk_log", path("sdk.log")}, {"binary_images", path("binary_images.fltrecord")},
      {"signal", path("signal.fltrecord")}, {"mach", path("mach_exception.fltrecord")},
      {"exception", path("exception.fltrecord")}, {"measured", "/tmp"}, {"mask", "1024"},
      {"custom_limit", "8"}, {"limits", "64/65536/yes"}, {"delegates", "yes"},
      {"debugger", "no"}, {"min_level", "1"}, {"crashed", "no"}, {"in_regions", "yes"},
      {"stacks", "yes"}};
  EXPECT_EQ(run.facts, expected);
  EXPECT_EQ(log().find("stale line"), std::string::npos) << "the old sdk.log is removed";
  EXPECT_EQ(log().find("Debugger present"), std::string::npos);
}

TEST_F(FLTContextTest, ReportDirectoryWithTrailingSlashGivesTheSamePaths) {
  const std::string withSlash = dirPath_ + "//";
  FLTContextInitParameters p = parameters();
  p.reportDirectory = withSlash.c_str();
  const ChildRun run = runInChild([&](Facts& facts) {
    facts["result"] = yes(FLTContextInitialize(&p));
    facts["sdk_log"] = str(FLTContextReadOnly()->sdkLog.path);
  });
  ASSERT_TRUE(run.exitedWith(0));
  EXPECT_EQ(run.facts, (Facts{{"result", "yes"}, {"sdk_log", path("sdk.log")}}));
  EXPECT_EQ(metadata().size(), 2u);
}

TEST_F(FLTContextTest, MetadataHoldsFourLinesIdentityFirst) {
  const FLTContextInitParameters p = parameters();
  const auto before = static_cast<std::int64_t>(time(nullptr));
  const ChildRun run = runInChild([&](Facts& facts) {
    registerAllHooks();
    facts["result"] = yes(FLTContextInitialize(&p));
  });
  ASSERT_TRUE(run.exitedWith(0));
  const auto lines = metadata();
  ASSERT_EQ(lines.size(), 4u) << readFile(path("metadata.fltrecord"));
  EXPECT_EQ(sectionName(lines[0]), "identity");
  EXPECT_EQ(sectionName(lines[1]), "host");
  EXPECT_EQ(sectionName(lines[2]), "application");
  EXPECT_EQ(sectionName(lines[3]), "executable");

  const platform::Value& identity = *lines[0].find("identity");
  EXPECT_EQ(*identity.find("generator"), platform::Value("Faultline Mac SDK/3.14.0"));
  EXPECT_EQ(*identity.find("build_version"), platform::Value("144"));
  EXPECT_EQ(*identity.find("display_version"), platform::Value("3.14.0"));
  EXPECT_EQ(*identity.find("api_key"), platform::Value("0123456789abcdef"));
  EXPECT_EQ(*identity.find("session_id"), platform::Value("5F1E2D3C4B5A69788796A5B4C3D2E1F0"));
  EXPECT_EQ(*identity.find("install_id"), platform::Value("INSTALL-1"));
  EXPECT_TRUE(identity.find("beta_token")->isNull());
  EXPECT_EQ(*identity.find("absolute_log_timestamps"), platform::Value(true));
  const auto startedAt = identity.find("started_at")->asInt();
  ASSERT_TRUE(startedAt.has_value());
  EXPECT_GE(*startedAt, before);
  EXPECT_LE(*startedAt, static_cast<std::int64_t>(time(nullptr)));

  const platform::Value& application = *lines[2].find("application");
  for (const char* key :
       {"bundle_id", "custom_bundle_id", "build_version", "display_version", "extension_id"}) {
    EXPECT_NE(application.find(key), nullptr) << key;
  }
  EXPECT_TRUE(application.find("custom_bundle_id")->isNull());
  EXPECT_TRUE(application.find("extension_id")->isNull()) << "an application, not an extension";
}

TEST_F(FLTContextTest, MetadataReplacesTheOldFileAndCarriesTheBetaToken) {
  { std::ofstream(path("metadata.fltrecord")) << "{\"identity\":{\"old\":true}}\n"; }
  FLTContextInitParameters p = parameters();
  p.betaToken = "beta-7";
  p.customBundleIdentifier = "com.example.custom";
  const ChildRun run = runInChild([&](Facts&) { FLTContextInitialize(&p); });
  ASSERT_TRUE(run.exitedWith(0));
  const auto lines = metadata();
  ASSERT_EQ(lines.size(), 2u) << "without host and executable parts: identity and application";
  EXPECT_EQ(*lines[0].find("identity")->find("beta_token"), platform::Value("beta-7"));
  EXPECT_EQ(lines[0].find("identity")->find("old"), nullptr);
  EXPECT_EQ(*lines[1].find("application")->find("custom_bundle_id"),
            platform::Value("com.example.custom"));
  EXPECT_NE(log().find("Unable to write out host metadata\n"), std::string::npos);
  EXPECT_NE(log().find("Unable to write out executable metadata\n"), std::string::npos);
}

TEST_F(FLTContextTest, UnwritableMetadataIsLoggedAndSetUpStillSucceeds) {
  // A directory in the file's place can be neither unlinked nor opened.
  ASSERT_EQ(mkdir(path("metadata.fltrecord").c_str(), 0755), 0);
  const FLTContextInitParameters p = parameters();
  const ChildRun run = runInChild([&](Facts& facts) {
    registerAllHooks();
    facts["result"] = yes(FLTContextInitialize(&p));
    facts["initialized"] = yes(FLTContextIsInitialized());
    facts["hooks"] = std::to_string(gHooksRun.load());
  });
  ASSERT_TRUE(run.exitedWith(0));
  EXPECT_EQ(run.facts, (Facts{{"result", "yes"}, {"initialized", "yes"}, {"hooks", "63"}}));
  const std::string text = log();
  EXPECT_NE(text.find("Unable to unlink existing metadata file " + path("metadata.fltrecord")),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Unable to open metadata file " + path("metadata.fltrecord")),
            std::string::npos);
  EXPECT_NE(text.find("Unable to record context metadata\n"), std::string::npos);
}

TEST_F(FLTContextTest, CustomExceptionLimitIsZeroWhenCustomExceptionsAreOff) {
  FLTContextInitParameters p = parameters();
  p.customExceptionsEnabled = false;
  const ChildRun run = runInChild([&](Facts& facts) {
    FLTContextInitialize(&p);
    facts["custom_limit"] = std::to_string(FLTContextReadOnly()->customExceptionLimit);
    facts["max"] = std::to_string(FLTContextReadOnly()->userLoggingLimits.maxCustomExceptions);
  });
  ASSERT_TRUE(run.exitedWith(0));
  EXPECT_EQ(run.facts, (Facts{{"custom_limit", "0"}, {"max", "8"}}));
}

TEST_F(FLTContextTest, MissingParametersOrReportDirectoryFail) {
  { std::ofstream(path("plain-file")) << "x"; }
  const std::string plainFile = path("plain-file");
  const std::string missing = path("missing");
  struct Case {
    const char* name;
    bool nullBlock;
    const char* directory;
  } cases[] = {{"null block", true, nullptr},
               {"null directory", false, nullptr},
               {"empty directory", false, ""},
               {"missing directory", false, missing.c_str()},
               {"file, not directory", false, plainFile.c_str()}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FLTContextInitParameters p = parameters();
    p.reportDirectory = c.directory;
    const ChildRun run = runInChild([&](Facts& facts) {
      registerAllHooks();
      facts["result"] = yes(FLTContextInitialize(c.nullBlock ? nullptr : &p));
      facts["initialized"] = yes(FLTContextIsInitialized());
      facts["hooks"] = std::to_string(gHooksRun.load());
    });
    ASSERT_TRUE(run.exitedWith(0));
    EXPECT_EQ(run.facts, (Facts{{"result", "no"}, {"initialized", "no"}, {"hooks", "0"}}));
  }
}

TEST_F(FLTContextTest, ReadOnlyContextIsWriteProtectedAfterSetUp) {
  const FLTContextInitParameters p = parameters();
  struct Write {
    const char* name;
    void (*write)();
  } writes[] = {
      {"initialized flag", [] { FLTContextReadOnly()->initialized.store(false); }},
      {"delegate", [] { FLTContextReadOnly()->crashDetectedDelegate = nullptr; }},
      {"sdk log path", [] { const_cast<char*>(FLTContextReadOnly()->sdkLog.path)[0] = 'x'; }},
      {"signal path", [] { const_cast<char*>(FLTContextReadOnly()->signalPath)[0] = 'x'; }},
  };
  for (const Write& w : writes) {
    SCOPED_TRACE(w.name);
    const ChildRun run = runInChild([&](Facts&) {
      if (!FLTContextInitialize(&p)) _exit(3);
      w.write();
    });
    EXPECT_TRUE(run.killedBy(SIGSEGV)) << "status " << run.status;
  }
  // The writable context stays writable: the crash flag can still be set.
  const ChildRun run = runInChild([&](Facts& facts) {
    FLTContextInitialize(&p);
    FLTContextMarkHasCrashed();
    FLTContextWritable()->sdkLog.minimumLevel = kFLTSDKLogLevelWarn;
    facts["crashed"] = yes(FLTContextHasCrashed());
  });
  ASSERT_TRUE(run.exitedWith(0));
  EXPECT_EQ(run.facts, (Facts{{"crashed", "yes"}}));
}

TEST_F(FLTContextTest, OnlyTheFirstFatalEventPassesTheCrashCheck) {
  const FLTContextInitParameters p = parameters();
  const ChildRun run = runInChild([&](Facts& facts) {
    facts["before_init"] = yes(FLTContextMarkAndCheckIfCrashed());
    FLTContextMarkHasCrashed();  // not initialized: no effect
    FLTContextInitialize(&p);
    facts["crashed_at_start"] = yes(FLTContextHasCrashed());

    std::atomic<int> passed{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> handlers;
    for (int i = 0; i < 8; ++i) {
      handlers.emplace_back([&] {
        while (!go.load()) {}
        if (!FLTContextMarkAndCheckIfCrashed()) ++passed;
      });
    }
    go = true;
    for (auto& t : handlers) t.join();
    facts["passed"] = std::to_string(passed.load());
    facts["later"] = yes(FLTContextMarkAndCheckIfCrashed());
    facts["has_crashed"] = yes(FLTContextHasCrashed());
  });
  ASSERT_TRUE(run.exitedWith(0));
  EXPECT_EQ(run.facts, (Facts{{"before_init", "no"},
                              {"crashed_at_start", "no"},
                              {"passed", "1"},
                              {"later", "yes"},
                              {"has_crashed", "yes"}}));
}

TEST_F(FLTContextTest, DeinitializeClearsTheFlagDespiteTheProtection) {
  const FLTContextInitParameters p = parameters();
  const ChildRun run = runInChild([&](Facts& facts) {
    FLTContextInitialize(&p);
    FLTContextBaseDeinitialize();
    facts["initialized"] = yes(FLTContextIsInitialized());
    facts["check"] = yes(FLTContextMarkAndCheckIfCrashed());
    facts["still_protected"] = yes(FLTContextAllocator()->isProtected.load());
  });
  ASSERT_TRUE(run.exitedWith(0)) << "status " << run.status;
  EXPECT_EQ(run.facts,
            (Facts{{"initialized", "no"}, {"check", "no"}, {"still_protected", "yes"}}));
  // And the region is read-only again afterwards.
  const ChildRun write = runInChild([&](Facts&) {
    FLTContextInitialize(&p);
    FLTContextBaseDeinitialize();
    FLTContextReadOnly()->firstInstall = false;
  });
  EXPECT_TRUE(write.killedBy(SIGSEGV)) << "status " << write.status;
}

TEST_F(FLTContextTest, SlowSetUpReturnsTrueAndInitializesWhenItFinishes) {
  const FLTContextInitParameters p = parameters();
  const ChildRun run = runInChild([&](Facts& facts) {
    registerAllHooks();
    gReleaseHost = false;
    facts["result"] = yes(FLTContextInitialize(&p, 50ms));
    facts["initialized_on_return"] = yes(FLTContextIsInitialized());
    gReleaseHost = true;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!FLTContextAllocator()->isProtected.load() &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    facts["initialized_later"] = yes(FLTContextIsInitialized());
    facts["protected_later"] = yes(FLTContextAllocator()->isProtected.load());
    facts["hooks"] = std::to_string(gHooksRun.load());
  });
  ASSERT_TRUE(run.exitedWith(0));
  EXPECT_EQ(run.facts, (Facts{{"result", "yes"},
                              {"initialized_on_return", "no"},
                              {"initialized_later", "yes"},
                              {"protected_later", "yes"},
                              {"hooks", "63"}}));
  EXPECT_NE(log().find("Error: Delayed initialization\n"), std::string::npos);
}

TEST_F(FLTContextTest, WithADebuggerNoHandlerIsInstalled) {
  const FLTContextInitParameters p = parameters();
  const ChildRun run = runInChild(
      [&](Facts& facts) {
        registerAllHooks();
        facts["debugger"] = yes(FLTProcessDebuggerAttached());
        facts["result"] = yes(FLTContextInitialize(&p));
        facts["hooks"] = std::to_string(gHooksRun.load());
        facts["signal"] = str(FLTContextReadOnly()->signalPath);
        facts["binary_images"] = str(FLTContextReadOnly()->binaryImagePath);
        facts["initialized"] = yes(FLTContextIsInitialized());
      },
      /*traced=*/true);
  if (run.exitedWith(kChildSkip)) GTEST_SKIP() << "ptrace is not allowed here";
  ASSERT_TRUE(run.exitedWith(0)) << "status " << run.status;
  EXPECT_EQ(run.facts, (Facts{{"debugger", "yes"},
                              {"result", "yes"},
                              {"hooks", std::to_string(kHost | kUserLogging | kBinaryImages)},
                              {"signal", "(null)"},
                              {"binary_images", path("binary_images.fltrecord")},
                              {"initialized", "yes"}}));
  EXPECT_NE(log().find("Debugger present - not installing handlers\n"), std::string::npos);
  EXPECT_EQ(metadata().size(), 4u);
}

TEST(FLTProcessDebuggerAttachedTest, UntracedProcessHasNoDebugger) {
  // The test runner itself may run under a debugger; a fresh child does not.
  const pid_t pid = fork();
  if (pid == 0) _exit(FLTProcessDebuggerAttached() ? 1 : 0);
  int status = 0;
  ASSERT_TRUE(waitForChild(pid, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace vandrel::crash

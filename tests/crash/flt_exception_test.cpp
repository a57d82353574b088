// C++ terminate capture and exception records. Every uncaught throw and
// every terminate handler lives in a forked child.

#include "crash/capture/flt_exception.h"

#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "crash/capture/flt_context.h"
#include "crash/capture/flt_record_reader.h"
#include "crash/capture/flt_signal.h"
#include "crash/capture/flt_user_logging.h"
#include "tests/crash/capture_test_support.h"

namespace vandrel::crash {
namespace {

using capture_test::readFile;
using capture_test::runChild;
using nlohmann::json;

std::string gDir;
std::string gMarkerPath;

std::vector<json> readRecord(const std::string& path) {
  std::vector<json> result;
  auto sections = FLTFileReadSections(path.c_str(), false);
  if (!sections.ok()) return result;
  for (const platform::Value& section : sections.value().sections) {
    result.push_back(json::parse(section.toJson()));
  }
  return result;
}

bool hasSection(const std::vector<json>& sections, const std::string& name) {
  for (const json& section : sections) {
    if (section.contains(name)) return true;
  }
  return false;
}

std::string decoded(const json& hex) {
  return hex.is_string() ? FLTFileHexDecodeString(hex.get<std::string>()) : "<not a string>";
}

void writeMarker(const std::string& text) {
  const int fd = open(gMarkerPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  ssize_t ignored = write(fd, text.data(), text.size());
  (void)ignored;
  close(fd);
}

class MarkingDelegate final : public FLTCrashDetectedDelegate {
 public:
  void potentiallySubmittableCrashOccurred() override { writeMarker("delegate;"); }
};
MarkingDelegate gDelegate;

void setUpCapture(bool customExceptions = false) {
  FLTExceptionRegisterSetUp();
  FLTUserLoggingRegisterSetUp();
  FLTContextInitParameters parameters;
  parameters.apiKey = "key";
  parameters.reportDirectory = gDir.c_str();
  parameters.sessionIdentifier = "session";
  parameters.installIdentifier = "install";
  parameters.crashDetectedDelegate = &gDelegate;
  parameters.customExceptionsEnabled = customExceptions;
  parameters.maxCustomExceptions = 8;
  parameters.logBufferSize = 4096;
  parameters.maxCustomKeys = 8;
  if (!FLTContextInitialize(&parameters)) _exit(90);
}

class FLTExceptionTest : public capture_test::SdkLogTest {
 protected:
  void SetUp() override {
    SdkLogTest::SetUp();
    gDir = dir_.path().string();
    gMarkerPath = path("marker");
    recordPath_ = path("exception.fltrecord");
  }

  std::string recordPath_;
};

::testing::AssertionResult aborted(int status) {
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "status " << status << ", expected SIGABRT";
}

class CustomFailure : public std::logic_error {
 public:
  CustomFailure() : std::logic_error("custom failure") {}
};

// The test framework catches what a test body throws; a throw through a
// noexcept function reaches std::terminate whatever is above it.
[[gnu::noinline]] void throwUncaught(void (*thrower)()) noexcept { thrower(); }

// ---- Uncaught throws ---------------------------------------------------------

struct ThrowCase {
  const char* label;
  void (*thrower)();
  const char* name;
  const char* reason;
};

const std::runtime_error gStaticError("by pointer");

TEST_F(FLTExceptionTest, UncaughtThrowIsRecordedWithItsTypeAndReasonThenAborts) {
  const ThrowCase cases[] = {
      {"C string", [] { throw "Faultline C++ Test Exception"; }, "const char *",
       "Faultline C++ Test Exception"},
      {"std::string", [] { throw std::string("text \"quoted\"\n"); }, "std::string",
       "text \"quoted\"\n"},
      {"bad_alloc", [] { throw std::bad_alloc(); }, "std::bad_alloc", "std::bad_alloc"},
      {"runtime_error", [] { throw std::runtime_error("boom"); }, "std::runtime_error", "boom"},
      {"own class", [] { throw CustomFailure(); },
       "vandrel::crash::(anonymous namespace)::CustomFailure", "custom failure"},
      {"exception pointer", [] { throw static_cast<const std::exception*>(&gStaticError); },
       "std::runtime_error", "by pointer"},
      {"int", [] { throw 42; }, "int", ""},
  };
  for (const ThrowCase& c : cases) {
    SCOPED_TRACE(c.label);
    std::remove(recordPath_.c_str());
    std::remove(gMarkerPath.c_str());
    const int status = runChild([&c] {
      setUpCapture();
      throwUncaught(c.thrower);
    });
    EXPECT_TRUE(aborted(status));

    const std::vector<json> record = readRecord(recordPath_);
    ASSERT_FALSE(record.empty());
    ASSERT_TRUE(record[0].contains("exception")) << record[0];
    const json& line = record[0]["exception"];
    EXPECT_EQ(line["type"], "c++");
    EXPECT_EQ(decoded(line["name"]), c.name);
    EXPECT_EQ(decoded(line["reason"]), c.reason);
    EXPECT_GT(line["time"].get<std::int64_t>(), 1600000000);
    EXPECT_FALSE(line.contains("frames"));
    // The recording thread's stack, taken before anything unwound.
    ASSERT_TRUE(hasSection(record, "threads"));
    EXPECT_TRUE(hasSection(record, "process_stats"));
    EXPECT_EQ(readFile(gMarkerPath), "delegate;");
  }
}

void previousTerminate() {
  // The record must already be on disk when the earlier handler runs.
  writeMarker(access((gDir + "/exception.fltrecord").c_str(), F_OK) == 0 ? "previous-after-record;"
                                                                         : "previous-first;");
  std::abort();
}

TEST_F(FLTExceptionTest, PreviousTerminateHandlerRunsAfterTheRecord) {
  const int status = runChild([] {
    std::set_terminate(previousTerminate);
    setUpCapture();
    throwUncaught([] { throw "Faultline C++ Test Exception"; });
  });
  EXPECT_TRUE(aborted(status));
  EXPECT_EQ(readFile(gMarkerPath), "delegate;previous-after-record;");
  const std::string log = readFile(path("sdk.log"));
  EXPECT_NE(log.find("restoring pre-existing handler\n"), std::string::npos);
  EXPECT_NE(log.find("invoking pre-existing handler\n"), std::string::npos);
}

TEST_F(FLTExceptionTest, TerminateWithoutAnExceptionRecordsNothingAndAborts) {
  const int status = runChild([] {
    setUpCapture();
    std::terminate();
  });
  EXPECT_TRUE(aborted(status));
  EXPECT_TRUE(readRecord(recordPath_).empty());
  const std::string log = readFile(path("sdk.log"));
  EXPECT_NE(log.find("no active exception\n"), std::string::npos);
  // The earlier (default) handler aborts on its own.
  EXPECT_NE(log.find("invoking pre-existing handler\n"), std::string::npos);
}

TEST_F(FLTExceptionTest, WithSignalCaptureTheAbortAfterTheRecordIsRecordedToo) {
  const int status = runChild([] {
    FLTSignalRegisterSetUp();
    setUpCapture();
    throwUncaught([] { throw std::runtime_error("boom"); });
  });
  EXPECT_TRUE(aborted(status));
  const std::vector<json> exception = readRecord(recordPath_);
  ASSERT_FALSE(exception.empty());
  EXPECT_EQ(decoded(exception[0]["exception"]["reason"]), "boom");
  const std::vector<json> signal = readRecord(path("signal.fltrecord"));
  ASSERT_FALSE(signal.empty());
  EXPECT_EQ(signal[0]["signal"]["name"], "SIGABRT");
}

// ---- Records made by the application --------------------------------------------

TEST_F(FLTExceptionTest, CustomExceptionsGoToTheRotatingStoreWithTheirFrames) {
  const int status = runChild([] {
    setUpCapture(true);
    std::vector<FLTExceptionFrame> frames(2);
    frames[0].address = 0x1000;
    frames[0].symbol = "main";
    frames[0].offset = 12;
    frames[0].library = "app";
    frames[0].file = "main.cpp";
    frames[0].line = 7;
    frames[1].address = 0x2000;
    FLTExceptionRecord(kFLTExceptionTypeCustom, "Custom", "why", &frames, false);
    const std::vector<FLTExceptionFrame> none;
    FLTExceptionRecord(99, "Other", nullptr, &none, false);
  });
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_TRUE(readRecord(recordPath_).empty()) << "non-fatal records stay out of the crash file";

  const std::vector<json> store = readRecord(path("custom_exception_a.fltrecord"));
  ASSERT_EQ(store.size(), 2u);
  const json& first = store[0]["exception"];
  EXPECT_EQ(first["type"], "custom");
  EXPECT_EQ(decoded(first["name"]), "Custom");
  EXPECT_EQ(decoded(first["reason"]), "why");
  ASSERT_EQ(first["frames"].size(), 2u);
  const json& frame = first["frames"][0];
  EXPECT_EQ(frame["pc"], 0x1000);
  EXPECT_EQ(decoded(frame["symbol"]), "main");
  EXPECT_EQ(frame["offset"], 12);
  EXPECT_EQ(decoded(frame["library"]), "app");
  EXPECT_EQ(decoded(frame["file"]), "main.cpp");
  EXPECT_EQ(frame["line"], 7);
  const json& bare = first["frames"][1];
  EXPECT_FALSE(bare.contains("symbol") || bare.contains("library") || bare.contains("file"))
      << bare;
  const json& second = store[1]["exception"];
  EXPECT_EQ(second["type"], "unknown");
  EXPECT_TRUE(second["reason"].is_null());
  EXPECT_FALSE(second.contains("frames"));
  EXPECT_TRUE(gMarkerPath.empty() || readFile(gMarkerPath).empty());
}

TEST_F(FLTExceptionTest, NothingIsRecordedWhenSwitchedOffOrNotInitialized) {
  const int status = runChild([] {
    setUpCapture(false);  // custom exceptions off
    FLTExceptionRecord(kFLTExceptionTypeCustom, "Custom", "why", nullptr, false);
    FLTContextBaseDeinitialize();
    FLTExceptionRecord(kFLTExceptionTypeCpp, "Fatal", "why", nullptr, true);
  });
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_TRUE(readRecord(path("custom_exception_a.fltrecord")).empty());
  EXPECT_TRUE(readRecord(recordPath_).empty());
  EXPECT_EQ(readFile(path("sdk.log")).find("Recording an exception structure (1, 1)"),
            std::string::npos);
}

TEST_F(FLTExceptionTest, CheckWarnsWhenAnotherTerminateHandlerTookOver) {
  const std::string errPath = path("stderr");
  const int status = runChild([&errPath] {
    setUpCapture();
    const int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDERR_FILENO);
    FLTExceptionCheckHandlers();  // ours: silent
    std::set_terminate(previousTerminate);
    FLTExceptionCheckHandlers();
    std::fflush(stderr);
  });
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  const std::string err = readFile(errPath);
  EXPECT_EQ(err.rfind("[Faultline:Crash] Warning: std::get_terminate is '", 0), 0u) << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
}

TEST(FLTExceptionTypeTest, TypeNamesFollowTheTable) {
  EXPECT_STREQ(FLTExceptionTypeName(1), "objective-c");
  EXPECT_STREQ(FLTExceptionTypeName(2), "c++");
  EXPECT_STREQ(FLTExceptionTypeName(3), "unknown");
  EXPECT_STREQ(FLTExceptionTypeName(4), "custom");
  EXPECT_STREQ(FLTExceptionTypeName(0), "unknown");
  EXPECT_STREQ(FLTExceptionTypeName(5), "unknown");
}

}  // namespace
}  // namespace vandrel::crash

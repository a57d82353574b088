#include "crash/capture/flt_user_logging.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crash/capture/flt_context.h"
#include "crash/capture/flt_record_reader.h"
#include "platform/dispatch.h"
#include "tests/crash/capture_test_support.h"
#include "tests/support/temp_dir.h"

namespace vandrel::crash {
namespace {

using namespace std::chrono_literals;
using capture_test::collectFacts;
using capture_test::Facts;
using capture_test::writeFacts;

// The crash context is once per process and write-protected after set-up,
// so everything that needs it runs in a forked child; the parent reads the
// record files the child left behind.

using test_support::readFile;

// Waits until every job queued on the logging queue so far (compactions,
// swaps) has run.
void drainLoggingQueue() { FLTLoggingQueue()->sync([] {}); }

std::string hex(std::string_view text) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

std::string describe(const FLTUserLoggingKVEntries& entries) {
  std::string out;
  for (const auto& [key, value] : entries) {
    out += key + "=" + (value ? *value : "<null>") + ";";
  }
  return out;
}

class FLTUserLoggingTest : public ::testing::Test {
 protected:
  FLTUserLoggingTest() {
    p_.apiKey = "0123456789abcdef";
    p_.reportDirectory = dirPath_.c_str();
    p_.sessionIdentifier = "SESSION";
    p_.installIdentifier = "INSTALL";
    p_.errorReportingEnabled = true;
    p_.customExceptionsEnabled = true;
    p_.maxCustomExceptions = 8;
    p_.logBufferSize = 65536;
    p_.maxCustomKeys = 64;
  }

  std::string path(const std::string& name) const { return dir_.file(name); }
  bool exists(const std::string& name) const { return std::filesystem::exists(path(name)); }
  std::string childStderr() const { return readFile(scratch_.file("stderr")); }

  // Runs `body` in a child (with the context initialized unless told not
  // to); its standard error goes to a file, its facts come back.
  Facts runInChild(const std::function<void(Facts&)>& body, bool initialize = true) {
    const std::string factsPath = scratch_.file("facts");
    const std::string errPath = scratch_.file("stderr");
    const pid_t pid = fork();
    if (pid == 0) {
      const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (err >= 0) dup2(err, 2);
      Facts facts;
      if (initialize) {
        FLTUserLoggingRegisterSetUp();
        if (!FLTContextInitialize(&p_) || !FLTContextIsInitialized()) _exit(3);
      }
      body(facts);
      if (initialize) drainLoggingQueue();
      writeFacts(factsPath, facts);
      std::fflush(stderr);
      _exit(0);
    }
    return collectFacts(pid, factsPath);
  }

  // The objects under `section` of every line of a record file; the file
  // must be whole.
  std::vector<platform::Value> lines(const std::string& name, const char* section) const {
    std::vector<platform::Value> out;
    auto read = FLTFileReadSections(path(name).c_str(), false);
    if (!read.ok()) return out;
    EXPECT_TRUE(read.value().complete()) << name;
    for (const platform::Value& line : read.value().sections) {
      const platform::Value* inner = line.find(section);
      EXPECT_NE(inner, nullptr) << name << ": " << line.toJson();
      if (inner != nullptr) out.push_back(*inner);
    }
    return out;
  }

  static std::string text(const platform::Value& object, const char* key) {
    const platform::Value* value = object.find(key);
    if (value == nullptr) return "<missing>";
    if (value->isNull()) return "<null>";
    return value->asString() != nullptr ? *value->asString() : "<not text>";
  }

  test_support::TempDir dir_{"flt-user-logging"};
  test_support::TempDir scratch_{"flt-user-logging-scratch"};
  std::string dirPath_ = dir_.path().string();
  FLTContextInitParameters p_;
};

// ---- Set-up -------------------------------------------------------------------

TEST_F(FLTUserLoggingTest, SetUpPointsEveryStoreIntoTheReportDirectoryWithItsLimits) {
  p_.maxCustomKeys = 12;
  p_.maxCustomExceptions = 5;
  p_.logBufferSize = 777;
  const Facts facts = runInChild([](Facts& f) {
    const FLTUserLoggingReadOnlyContext* ro = FLTContextReadOnly()->userLogging;
    const FLTUserLoggingWritableContext* rw = FLTContextWritable()->userLogging;
    if (ro == nullptr || rw == nullptr) return;
    f["user"] = std::string(ro->userKVStorage.incrementalPath) + "|" +
                ro->userKVStorage.compactedPath + "|" +
                std::to_string(ro->userKVStorage.maxIncrementalCount) + "|" +
                std::to_string(ro->userKVStorage.maxCount);
    f["internal"] = std::string(ro->internalKVStorage.incrementalPath) + "|" +
                    ro->internalKVStorage.compactedPath + "|" +
                    std::to_string(ro->internalKVStorage.maxCount);
    f["log"] = std::string(ro->logStorage.aPath) + "|" + ro->logStorage.bPath + "|" +
               std::to_string(ro->logStorage.maxSize) + "|" +
               std::to_string(ro->logStorage.restrictBySize);
    f["errors"] = std::string(ro->errorStorage.aPath) + "|" + ro->errorStorage.bPath + "|" +
                  std::to_string(ro->errorStorage.maxEntries);
    f["custom"] = std::string(ro->customExceptionStorage.aPath) + "|" +
                  ro->customExceptionStorage.bPath + "|" +
                  std::to_string(ro->customExceptionStorage.maxEntries);
    f["current"] = std::string(rw->activeLogPath) + "|" + rw->activeErrorLogPath + "|" +
                   rw->activeCustomExceptionPath;
    f["separate_counters"] =
        std::to_string(ro->errorStorage.entryCount != ro->customExceptionStorage.entryCount);
  });
  EXPECT_EQ(facts.at("user"), path("user_incremental_kv.fltrecord") + "|" +
                                  path("user_compacted_kv.fltrecord") + "|64|12");
  EXPECT_EQ(facts.at("internal"), path("internal_incremental_kv.fltrecord") + "|" +
                                      path("internal_compacted_kv.fltrecord") + "|32");
  EXPECT_EQ(facts.at("log"),
            path("log_a.fltrecord") + "|" + path("log_b.fltrecord") + "|777|1");
  EXPECT_EQ(facts.at("errors"),
            path("errors_a.fltrecord") + "|" + path("errors_b.fltrecord") + "|5");
  EXPECT_EQ(facts.at("custom"), path("custom_exception_a.fltrecord") + "|" +
                                    path("custom_exception_b.fltrecord") + "|5");
  EXPECT_EQ(facts.at("current"), path("log_a.fltrecord") + "|" + path("errors_a.fltrecord") +
                                     "|" + path("custom_exception_a.fltrecord"));
  EXPECT_EQ(facts.at("separate_counters"), "1");
}

// ---- Key/value pairs -----------------------------------------------------------

TEST_F(FLTUserLoggingTest, LaterWritesWinAndANilValueRemovesTheKey) {
  const Facts facts = runInChild([](Facts& f) {
    FLTUserLoggingRecordUserKeyValue("colour", "red");
    FLTUserLoggingRecordUserKeyValue("size", "9");
    FLTUserLoggingRecordUserKeyValue("colour", "blue");
    FLTUserLoggingRecordUserKeyValue("size", nullptr);
    FLTUserLoggingRecordInternalKeyValue(kFLTUserLoggingUserIdKey.data(), "u-1");
    const FLTUserLoggingReadOnlyContext* ro = FLTContextReadOnly()->userLogging;
    f["user"] = describe(*FLTUserLoggingGetCompactedKVEntries(&ro->userKVStorage, true));
    f["user_hex"] = describe(*FLTUserLoggingGetCompactedKVEntries(&ro->userKVStorage, false));
    f["internal"] = describe(*FLTUserLoggingGetCompactedKVEntries(&ro->internalKVStorage, true));
  });
  EXPECT_EQ(facts.at("user"), "colour=blue;");
  EXPECT_EQ(facts.at("user_hex"), hex("colour") + "=" + hex("blue") + ";");
  EXPECT_EQ(facts.at("internal"), "com.faultline.user-id=u-1;");

  // The incremental file holds every write, hex-encoded, nil as `null`.
  const auto kv = lines("user_incremental_kv.fltrecord", "kv");
  ASSERT_EQ(kv.size(), 4u);
  EXPECT_EQ(text(kv[0], "key"), hex("colour"));
  EXPECT_EQ(text(kv[0], "value"), hex("red"));
  EXPECT_EQ(text(kv[3], "key"), hex("size"));
  EXPECT_EQ(text(kv[3], "value"), "<null>");
  EXPECT_FALSE(exists("user_compacted_kv.fltrecord"));
}

TEST_F(FLTUserLoggingTest, BadPointersAndAnUninitializedContextRecordNothing) {
  const Facts facts = runInChild([](Facts& f) {
    FLTUserLoggingRecordUserKeyValue(reinterpret_cast<const char*>(0x10), "value");
    FLTUserLoggingRecordUserKeyValue("clamped", reinterpret_cast<const char*>(0x20));
    const FLTUserLoggingReadOnlyContext* ro = FLTContextReadOnly()->userLogging;
    f["entries"] = describe(*FLTUserLoggingGetCompactedKVEntries(&ro->userKVStorage, true));
    f["bad_store"] = std::to_string(FLTUserLoggingGetCompactedKVEntries(nullptr, true).has_value());
    FLTContextBaseDeinitialize();
    FLTUserLoggingRecordUserKeyValue("late", "value");
    f["after"] = std::to_string(FLTUserLoggingGetCompactedKVEntries(&ro->userKVStorage, true)
                                    .has_value());
  });
  EXPECT_EQ(facts.at("entries"), "");
  EXPECT_EQ(facts.at("bad_store"), "0");
  EXPECT_EQ(facts.at("after"), "0");
  const auto kv = lines("user_incremental_kv.fltrecord", "kv");
  ASSERT_EQ(kv.size(), 1u);  // only the clamped value, as `null`
  EXPECT_EQ(text(kv[0], "key"), hex("clamped"));
  EXPECT_EQ(text(kv[0], "value"), "<null>");
  const std::string sdkLog = readFile(path("sdk.log"));
  EXPECT_NE(sdkLog.find("User provided bad key"), std::string::npos);
  EXPECT_NE(sdkLog.find("Bad value pointer being clamped to nil"), std::string::npos);
}

TEST_F(FLTUserLoggingTest, TheSixtyFourthWriteCompactsToAtMostTheMaximumKeys) {
  p_.maxCustomKeys = 5;
  const Facts facts = runInChild([](Facts& f) {
    const FLTUserLoggingReadOnlyContext* ro = FLTContextReadOnly()->userLogging;
    // 63 writes: no compaction yet.
    for (int i = 0; i < 63; ++i) {
      char key[8];
      std::snprintf(key, sizeof key, "k%02d", i % 10);
      FLTUserLoggingRecordUserKeyValue(key, i % 10 == 3 ? nullptr : std::to_string(i).c_str());
    }
    drainLoggingQueue();
    f["before"] = std::to_string(FLTContextWritable()->userLogging->incrementalCount);
    FLTUserLoggingRecordUserKeyValue("a-first", "x");  // the 64th
    drainLoggingQueue();
    f["counter"] = std::to_string(FLTContextWritable()->userLogging->incrementalCount);
    f["compacted"] = describe(*FLTUserLoggingGetCompactedKVEntries(&ro->userKVStorage, true));
    FLTUserLoggingRecordUserKeyValue("k00", nullptr);
    FLTUserLoggingRecordUserKeyValue("zz", "new");
    f["after"] = describe(*FLTUserLoggingGetCompactedKVEntries(&ro->userKVStorage, true));
  });
  EXPECT_EQ(facts.at("before"), "63");
  EXPECT_EQ(facts.at("counter"), "0");
  // 10 live keys minus k03 (nil) plus a-first: the first five in key order.
  EXPECT_EQ(facts.at("compacted"), "a-first=x;k00=60;k01=61;k02=62;k04=54;");
  EXPECT_EQ(facts.at("after"), "a-first=x;k01=61;k02=62;k04=54;zz=new;");

  const auto compacted = lines("user_compacted_kv.fltrecord", "kv");
  ASSERT_EQ(compacted.size(), 5u);
  EXPECT_EQ(text(compacted[0], "key"), hex("a-first"));  // the hex text, kept as written
  EXPECT_EQ(lines("user_incremental_kv.fltrecord", "kv").size(), 2u);
  EXPECT_FALSE(exists("user_compacted_kv.fltrecord.tmp"));
  EXPECT_NE(readFile(path("sdk.log")).find("Truncating KV set, which is above max 5"),
            std::string::npos);
}

TEST_F(FLTUserLoggingTest, TheInternalStoreKeepsThirtyTwoKeys) {
  runInChild([](Facts&) {
    for (int i = 0; i < 64; ++i) {
      FLTUserLoggingRecordInternalKeyValue(("key" + std::to_string(100 + i)).c_str(), "v");
    }
  });
  EXPECT_FALSE(exists("internal_incremental_kv.fltrecord"));
  EXPECT_EQ(lines("internal_compacted_kv.fltrecord", "kv").size(), 32u);
}

// Hostile texts reach the files hex-encoded, cut to the text limit, and come
// back byte for byte; no line of the file breaks.
TEST_F(FLTUserLoggingTest, HostileKeysAndValuesRoundTripOrAreCutSafely) {
  const std::string huge(1 << 20, 'K');
  const std::string cutInsideCharacter =
      std::string(kFLTUserLoggingMaxTextLength - 1, 'a') + "\xE2\x82\xAC" + "tail";
  struct Case {
    const char* name;
    std::string key;
    std::string value;
    std::string expectedKey;
    std::string expectedValue;
  } cases[] = {
      {"control", "line\nbreak\t\"quote\"\\", "\x01\x1b[31m\r\n}{", "line\nbreak\t\"quote\"\\",
       "\x01\x1b[31m\r\n}{"},
      {"not-utf8", "\xff\xfe\xc3", "\x80\x80\xed\xa0\x80", "\xff\xfe\xc3", "\x80\x80\xed\xa0\x80"},
      {"huge", huge, huge, huge.substr(0, kFLTUserLoggingMaxTextLength),
       huge.substr(0, kFLTUserLoggingMaxTextLength)},
      {"utf8-cut", "euro", cutInsideCharacter, "euro",
       std::string(kFLTUserLoggingMaxTextLength - 1, 'a')},
      {"empty", "", "", "", ""},
  };
  const Facts facts = runInChild([&](Facts& f) {
    for (const Case& c : cases) FLTUserLoggingRecordUserKeyValue(c.key.c_str(), c.value.c_str());
    const FLTUserLoggingReadOnlyContext* ro = FLTContextReadOnly()->userLogging;
    const FLTUserLoggingKVEntries entries =
        *FLTUserLoggingGetCompactedKVEntries(&ro->userKVStorage, true);
    for (const Case& c : cases) {
      const auto found = entries.find(c.expectedKey);
      f[c.name] = found == entries.end()             ? "missing"
                  : found->second != c.expectedValue ? "wrong value"
                                                     : "ok";
    }
  });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(facts.at(c.name), "ok");
  }
  const std::string file = readFile(path("user_incremental_kv.fltrecord"));
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 5);
  EXPECT_EQ(lines("user_incremental_kv.fltrecord", "kv").size(), 5u);
}

// ---- Log messages ------------------------------------------------------------------

TEST_F(FLTUserLoggingTest, LogFilesRotateOnceTheCurrentFilePassesTheLimit) {
  p_.logBufferSize = 1000;
  // A stale b file (from nowhere this launch) is emptied by the first swap.
  { std::ofstream(path("log_b.fltrecord")) << "{\"log\":{\"msg\":\"\",\"time\":1}}\n"; }
  const std::string message(200, 'm');  // about 450 bytes a line
  const Facts facts = runInChild([&](Facts& f) {
    for (int i = 0; i < 7; ++i) {
      FLTLog("%s %d", message.c_str(), i);
      drainLoggingQueue();
      f["after" + std::to_string(i)] =
          FLTContextWritable()->userLogging->activeLogPath == nullptr
              ? "?"
              : std::filesystem::path(FLTContextWritable()->userLogging->activeLogPath)
                    .filename()
                    .string();
    }
  });
  // Three lines pass 1000 bytes: b, emptied, takes over; then a again.
  EXPECT_EQ(facts.at("after1"), "log_a.fltrecord");
  EXPECT_EQ(facts.at("after2"), "log_b.fltrecord");
  EXPECT_EQ(facts.at("after5"), "log_a.fltrecord");
  EXPECT_EQ(facts.at("after6"), "log_a.fltrecord");
  const auto a = lines("log_a.fltrecord", "log");
  const auto b = lines("log_b.fltrecord", "log");
  ASSERT_EQ(a.size(), 1u);
  ASSERT_EQ(b.size(), 3u);
  EXPECT_EQ(FLTFileHexDecodeString(text(b[0], "msg")), message + " 3");
  EXPECT_EQ(FLTFileHexDecodeString(text(a[0], "msg")), message + " 6");
  const auto time = a[0].find("time")->asInt();
  ASSERT_TRUE(time.has_value());
  const auto nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  EXPECT_LE(*time, nowMs);
  EXPECT_GT(*time, nowMs - 60'000);
}

TEST_F(FLTUserLoggingTest, AnOverlongMessageIsCutToTheLogLimitWithAWarning) {
  p_.logBufferSize = 100;
  runInChild([](Facts&) {
    FLTLog("%s", std::string(250, 'x').c_str());
    FLTLogToConsole("shown %d", 7);
  });
  const auto logLines = lines("log_a.fltrecord", "log");
  ASSERT_EQ(logLines.size(), 1u);  // the first line passed the limit: b took the second
  EXPECT_EQ(FLTFileHexDecodeString(text(logLines[0], "msg")), std::string(100, 'x'));
  const auto b = lines("log_b.fltrecord", "log");
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(FLTFileHexDecodeString(text(b[0], "msg")), "shown 7");
  const std::string err = childStderr();
  EXPECT_NE(err.find("WARNING: Attempted to write 250 bytes, but 100 is the maximum size of the "
                     "log. Truncating to 100 bytes.\n"),
            std::string::npos);
  EXPECT_NE(err.find("shown 7\n"), std::string::npos);
}

TEST_F(FLTUserLoggingTest, MessagesBeforeStartUpGoToTheConsoleUnlessDisabled) {
  runInChild([](Facts&) {
    FLTLog("early %s", "bird");
    FLTLog(nullptr);
    FLTLogDisableUninitializedKitMessaging();
    FLTLog("silenced");
  }, /*initialize=*/false);
  EXPECT_EQ(childStderr(),
            "[Faultline:Crash] WARNING: FLTLog has been used before (or concurrently with) "
            "Faultline initialization and cannot be recorded. The message was: \nearly bird\n");
  EXPECT_FALSE(exists("log_a.fltrecord"));
}

// ---- Errors ------------------------------------------------------------------------------

TEST_F(FLTUserLoggingTest, ErrorsCarryTheirInformationAndRotateByEntries) {
  p_.maxCustomExceptions = 2;
  runInChild([](Facts&) {
    FLTUserLoggingError error{"com.example\nDomain", -42, {{"reason", "disk \xff full"}}};
    const FLTUserLoggingInfo extra{{"attempt", "3"}};
    FLTUserLoggingRecordError(&error, &extra);
    error.userInfo.clear();
    for (int code = 1; code <= 2; ++code) {
      error.code = code;
      FLTUserLoggingRecordError(&error, nullptr);
    }
    FLTUserLoggingRecordError(nullptr, nullptr);
  });
  const auto a = lines("errors_a.fltrecord", "error");
  const auto b = lines("errors_b.fltrecord", "error");
  ASSERT_EQ(a.size(), 2u);  // two entries fill a file; the third starts b
  ASSERT_EQ(b.size(), 1u);
  const platform::Value& first = a[0];
  EXPECT_EQ(FLTFileHexDecodeString(text(first, "domain")), "com.example\nDomain");
  EXPECT_EQ(first.find("code")->asInt(), -42);
  ASSERT_NE(first.find("stacktrace")->asArray(), nullptr);
  EXPECT_FALSE(first.find("stacktrace")->asArray()->empty());
  const auto* info = first.find("info")->asArray();
  ASSERT_NE(info, nullptr);
  ASSERT_EQ(info->size(), 1u);
  EXPECT_EQ(FLTFileHexDecodeString(*(*info)[0].asArray()->at(1).asString()), "disk \xff full");
  const auto* extra = first.find("extra_info")->asArray();
  ASSERT_NE(extra, nullptr);
  EXPECT_EQ(*(*extra)[0].asArray()->at(0).asString(), hex("attempt"));
  // Empty dictionaries are left out altogether.
  EXPECT_EQ(a[1].find("info"), nullptr);
  EXPECT_EQ(a[1].find("extra_info"), nullptr);
  EXPECT_EQ(b[0].find("code")->asInt(), 2);
}

TEST_F(FLTUserLoggingTest, WithErrorReportingDisabledNoErrorFileIsWritten) {
  p_.errorReportingEnabled = false;
  runInChild([](Facts&) {
    const FLTUserLoggingError error{"domain", 1, {}};
    FLTUserLoggingRecordError(&error, nullptr);
  });
  EXPECT_FALSE(exists("errors_a.fltrecord"));
  EXPECT_FALSE(exists("errors_b.fltrecord"));
}

}  // namespace
}  // namespace vandrel::crash

#include "core/log_util.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <iomanip>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/app_constants.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"
#include "tests/core/core_test_support.h"

namespace vandrel::core {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

constexpr std::size_t kDateLength = 24;

// Sends file descriptor 1 to a temporary file until `finish`.
class CapturedStdout {
 public:
  CapturedStdout() {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    file_ = std::tmpfile();
    ::dup2(::fileno(file_), STDOUT_FILENO);
  }
  ~CapturedStdout() { finish(); }
  CapturedStdout(const CapturedStdout&) = delete;
  CapturedStdout& operator=(const CapturedStdout&) = delete;

  std::string finish() {
    if (saved_ < 0) return text_;
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    saved_ = -1;
    std::rewind(file_);
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) text_.append(buffer, n);
    std::fclose(file_);
    return text_;
  }

 private:
  int saved_ = -1;
  std::FILE* file_ = nullptr;
  std::string text_;
};

::testing::AssertionResult isDateText(const std::string& text) {
  static const std::regex kDate(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} )");
  if (std::regex_match(text, kDate)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "'" << text << "' is not a date text";
}

std::string repeat(std::string_view piece, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += piece;
  return text;
}

// Runs the main queue until it is empty, within a bound: a logger that
// keeps queueing work for itself fails the test instead of hanging it.
::testing::AssertionResult mainQueueSettles() {
  CapturedStdout quiet;
  if (platform::mainQueue().runUntil(
          [] { return platform::mainQueue().pendingCountForTesting() == 0; }, 5s)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "the main queue still has work after 5 s";
}

// Each test gets its own Caches and config directories and an empty logger.
class LogUtilTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp_.path().empty());
    ASSERT_TRUE(mainQueueSettles());
    LogUtil::closeLogFileHandle();
    LogUtil::displayedLines().clear();
  }
  void TearDown() override {
    EXPECT_TRUE(mainQueueSettles());
    LogUtil::closeLogFileHandle();
    LogUtil::displayedLines().clear();
  }

  fs::path cacheFolder() const { return temp_.path() / "cache" / "dataCache"; }
  fs::path logFile() const { return cacheFolder() / "vandrel.log"; }

  // Logs one line with stdout captured and lets the main queue run.
  std::string logCaptured(std::int64_t level, const std::string& message) {
    CapturedStdout out;
    LogUtil::logLine(level, message);
    std::string printed = out.finish();
    platform::mainQueue().runPending();
    return printed;
  }

  TempDir temp_;
  ScopedEnv cacheHome_{"XDG_CACHE_HOME", (temp_.path() / "cache").string()};
  ScopedEnv configHome_{"XDG_CONFIG_HOME", (temp_.path() / "config").string()};
};

TEST_F(LogUtilTest, EachLevelReachesConsoleFileAndListByItsRule) {
  struct Case {
    const char* name;
    std::int64_t level;
    std::string message;
    bool written;  // printed and in the file
    bool listed;
  };
  const std::vector<Case> cases = {
      {"log", 1, "[LOG]: connected", true, true},
      {"error", 2, "[ERROR]: getLines failed", true, true},
      {"debug", 4, "[DEBUG]: mark: getSession", true, false},
      {"level 3", 3, "[DEBUG]: three", true, false},
      {"level 0", 0, "zero", true, true},
      {"level -1", -1, "minus one", true, true},
      {"level 5", 5, "[DEBUG]: five", false, false},
  };
  std::string file;
  std::vector<std::string> listed;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string printed = logCaptured(c.level, c.message);
    if (!c.written) {
      EXPECT_EQ(printed, "");
      EXPECT_EQ(readFile(logFile()), file);
      EXPECT_EQ(LogUtil::displayedLines(), listed);
      continue;
    }
    ASSERT_GT(printed.size(), kDateLength);
    const std::string date = printed.substr(0, kDateLength);
    EXPECT_TRUE(isDateText(date));
    EXPECT_EQ(printed, date + c.message + "\r\n\n");
    file += date + c.message + "\r\n";
    EXPECT_EQ(readFile(logFile()), file);
    if (c.listed) listed.push_back(date + c.message);
    EXPECT_EQ(LogUtil::displayedLines(), listed);
  }
}

TEST_F(LogUtilTest, LevelAboveFourCreatesNothing) {
  EXPECT_EQ(logCaptured(5, "[DEBUG]: nothing"), "");
  EXPECT_FALSE(fs::exists(cacheFolder()));
  EXPECT_TRUE(LogUtil::displayedLines().empty());
}

TEST_F(LogUtilTest, DateTextIsLocalTimeOfTheZoneInForceAtTheCall) {
  // UTC+14 (POSIX TZ signs are inverted): far from any host's own zone.
  ScopedEnv zone("TZ", "<+14>-14");
  const auto before = std::chrono::system_clock::now();
  const std::string printed = logCaptured(1, "[LOG]: when");
  const auto after = std::chrono::system_clock::now();
  ASSERT_TRUE(isDateText(printed.substr(0, kDateLength)));
  std::tm parsed{};
  std::istringstream(printed.substr(0, 19)) >> std::get_time(&parsed, "%Y-%m-%d %H:%M:%S");
  const auto logged = std::chrono::system_clock::from_time_t(::timegm(&parsed) - 14 * 3600);
  EXPECT_GE(logged, std::chrono::floor<std::chrono::seconds>(before));
  EXPECT_LE(logged, after);
}

TEST_F(LogUtilTest, MessagesAreCutAtOneThousandCharactersTagIncluded) {
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466";
  const std::string flag = "\U0001F1EF\U0001F1F5";
  const std::string accented = "e\u0301";
  const std::string tag = "[LOG]: ";  // 7 characters
  struct Case {
    const char* name;
    std::string message;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"1000 ASCII", tag + repeat("a", 993), tag + repeat("a", 993)},
      {"1001 ASCII", tag + repeat("a", 994), tag + repeat("a", 993)},
      {"1000 family emoji", tag + repeat(family, 993), tag + repeat(family, 993)},
      {"1001 family emoji", tag + repeat(family, 994), tag + repeat(family, 993)},
      {"1001 flags", tag + repeat(flag, 994), tag + repeat(flag, 993)},
      {"1001 combining", tag + repeat(accented, 994), tag + repeat(accented, 993)},
      {"long", tag + repeat("b", 5000), tag + repeat("b", 993)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string printed = logCaptured(1, c.message);
    ASSERT_GT(printed.size(), kDateLength);
    EXPECT_EQ(printed.substr(kDateLength), c.expected + "\r\n\n");
    EXPECT_EQ(LogUtil::displayedLines().back().substr(kDateLength), c.expected);
  }
}

TEST_F(LogUtilTest, IllFormedUtf8BecomesReplacementCharacters) {
  const std::string printed = logCaptured(1,
                                          "[LOG]: a\xFF"
                                          "b\xC3");
  EXPECT_EQ(printed.substr(kDateLength),
            "[LOG]: a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD\r\n\n");
  EXPECT_EQ(readFile(logFile()).substr(kDateLength),
            "[LOG]: a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD\r\n");
}

TEST_F(LogUtilTest, FirstLineCreatesFolderAndFileAndALaterRunAppends) {
  ASSERT_FALSE(fs::exists(temp_.path() / "cache"));
  const std::string first = logCaptured(1, "[LOG]: first");
  EXPECT_TRUE(fs::is_directory(cacheFolder()));
  EXPECT_EQ(readFile(logFile()), first.substr(0, first.size() - 1));

  // A new run (empty handle slot) finds the file in place and appends.
  LogUtil::closeLogFileHandle();
  writeFile(logFile(), "previous run\r\n");
  const std::string second = logCaptured(1, "[LOG]: second");
  EXPECT_EQ(readFile(logFile()), "previous run\r\n" + second.substr(0, second.size() - 1));
}

TEST_F(LogUtilTest, PathsAreCreatedOnRequest) {
  EXPECT_EQ(LogUtil::cacheDirectory(), cacheFolder().string());
  EXPECT_TRUE(fs::is_directory(cacheFolder()));
  EXPECT_EQ(LogUtil::logFilePath(), logFile().string());
  EXPECT_TRUE(fs::is_regular_file(logFile()));
  EXPECT_EQ(fs::file_size(logFile()), 0u);
  // An existing file is left as it is.
  writeFile(logFile(), "kept");
  EXPECT_EQ(LogUtil::logFilePath(), logFile().string());
  EXPECT_EQ(readFile(logFile()), "kept");
}

TEST_F(LogUtilTest, AfterDeletionTheNewFileBeginsWithTheDeletionLine) {
  logCaptured(1, "[LOG]: before");
  LogUtil::deleteLogFile();
  {
    CapturedStdout quiet;
    platform::mainQueue().runPending();
  }
  const std::string next = logCaptured(1, "[LOG]: after");
  const std::string text = readFile(logFile());
  const std::string expectedFirst =
      "[DEBUG]: delete cache success : " + logFile().string() + "\r\n";
  ASSERT_GT(text.size(), kDateLength);
  EXPECT_TRUE(isDateText(text.substr(0, kDateLength)));
  EXPECT_EQ(text.substr(kDateLength, expectedFirst.size()), expectedFirst);
  EXPECT_EQ(text.substr(kDateLength + expectedFirst.size()), next.substr(0, next.size() - 1));
  EXPECT_EQ(text.find("before"), std::string::npos);
}

TEST_F(LogUtilTest, WipeLeavesOnlyTheNewLogAndKeepsTheAppGroupSuite) {
  platform::Defaults& standard = platform::Defaults::standard();
  ASSERT_TRUE(standard.path().string().starts_with(temp_.path().string()));
  ASSERT_TRUE(standard.set("MiscInfoLoginCookieCache", "cookie"));
  ASSERT_TRUE(standard.set(kConnectModeCacheKey, 1));
  platform::Defaults& group = platform::Defaults::suite(appGroupIdentifier());
  ASSERT_TRUE(group.set("publicLogCache", platform::Value::Array{"record"}));
  logCaptured(1, "[LOG]: before the wipe");
  writeFile(cacheFolder() / "5D41402ABC4B2A76B9719D911017C592", "encrypted");
  writeFile(cacheFolder() / "nested" / "entry", "more");

  {
    CapturedStdout quiet;
    LogUtil::clearUserDataAndLog();
    platform::mainQueue().runPending();
  }

  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(cacheFolder())) {
    left.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(left, std::vector<std::string>{"vandrel.log"});
  const std::string text = readFile(logFile());
  ASSERT_GT(text.size(), kDateLength);
  EXPECT_TRUE(isDateText(text.substr(0, kDateLength)));
  EXPECT_EQ(text.substr(kDateLength),
            "[DEBUG]: delete cache success : " + cacheFolder().string() + "\r\n");

  EXPECT_TRUE(standard.dictionaryRepresentation().empty());
  EXPECT_TRUE(platform::Defaults(standard.path()).dictionaryRepresentation().empty());
  const platform::Defaults groupOnDisk(group.path());
  EXPECT_EQ(groupOnDisk.getArray("publicLogCache"), platform::Value::Array{"record"});
}

TEST_F(LogUtilTest, UncreatableFolderIsReportedOnceAndLinesStillListed) {
  // The Caches directory is a plain file, so "dataCache" cannot be made in
  // it (also not by root).
  writeFile(temp_.path() / "cache", "not a directory");
  {
    CapturedStdout quiet;
    LogUtil::logLine(1, "[LOG]: first");
    LogUtil::logLine(1, "[LOG]: second");
  }
  ASSERT_TRUE(mainQueueSettles());
  std::vector<std::string> messages;
  for (const auto& entry : LogUtil::displayedLines()) messages.push_back(entry.substr(kDateLength));
  EXPECT_EQ(messages,
            (std::vector<std::string>{"[LOG]: first", "[LOG]: second",
                                      "[ERROR]: create Cahce path error: Not a directory"}));
  EXPECT_FALSE(fs::exists(cacheFolder()));
}

TEST_F(LogUtilTest, ANamedPipeInPlaceOfTheLogFileGetsNoLines) {
  ASSERT_TRUE(makeFifo(logFile()));
  // A reader of the test's own: with nobody reading, the pipe would fill
  // after some 64 KiB of lines and then hold the main thread for good.
  const int reader = ::open(logFile().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  logCaptured(1, "[LOG]: not into a pipe");
  char buffer[256];
  EXPECT_LE(::read(reader, buffer, sizeof buffer), 0) << "a line went into the pipe";
  ::close(reader);
  ASSERT_EQ(LogUtil::displayedLines().size(), 1u);
  EXPECT_EQ(LogUtil::displayedLines()[0].substr(kDateLength), "[LOG]: not into a pipe");

  // Once the pipe is gone the next line makes a file again.
  fs::remove(logFile());
  const std::string printed = logCaptured(1, "[LOG]: into the file");
  EXPECT_EQ(readFile(logFile()), printed.substr(0, printed.size() - 1));
}

TEST_F(LogUtilTest, LinesOfSeveralThreadsKeepTheirOrderAndNeverInterleave) {
  constexpr int kThreads = 4;
  constexpr int kLines = 250;
  std::string printed;
  {
    CapturedStdout out;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < kLines; ++i) {
          LogUtil::logLine(1, "[LOG]: thread " + std::to_string(t) + " line " + std::to_string(i) +
                                  " " + std::string(200, 'x'));
        }
      });
    }
    for (auto& thread : threads) thread.join();
    printed = out.finish();
    platform::mainQueue().runPending();
  }
  const std::regex kLine(
      R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[LOG\]: thread (\d) line (\d+) x{200}\r)");
  auto checkLines = [&](const std::string& text, bool blankAfterEach) {
    std::istringstream in(text);
    std::string line;
    std::map<int, int> next;
    int count = 0;
    while (std::getline(in, line)) {
      std::smatch match;
      ASSERT_TRUE(std::regex_match(line, match, kLine)) << line;
      const int thread = std::stoi(match[1]);
      EXPECT_EQ(std::stoi(match[2]), next[thread]++);
      ++count;
      if (blankAfterEach) {
        ASSERT_TRUE(std::getline(in, line));
        EXPECT_EQ(line, "");
      }
    }
    EXPECT_EQ(count, kThreads * kLines);
  };
  checkLines(printed, true);
  const std::string file = readFile(logFile());
  checkLines(file, false);
  // The list has the same order as the file.
  std::string listed;
  for (const auto& entry : LogUtil::displayedLines()) listed += entry + "\r\n";
  EXPECT_EQ(listed, file);
}

TEST_F(LogUtilTest, ConvenienceFormsWriteTheirTags) {
  CapturedStdout out;
  LogUtil::log("a");
  LogUtil::debug("b");
  LogUtil::reportError("c");
  out.finish();
  platform::mainQueue().runPending();
  std::vector<std::string> lines;
  std::istringstream in(readFile(logFile()));
  for (std::string line; std::getline(in, line);) lines.push_back(line.substr(kDateLength));
  EXPECT_EQ(lines, (std::vector<std::string>{"[LOG]: a\r", "[DEBUG]: b\r", "[ERROR]: c\r"}));
  ASSERT_EQ(LogUtil::displayedLines().size(), 2u);
  EXPECT_EQ(LogUtil::displayedLines()[1].substr(kDateLength), "[ERROR]: c");
}

}  // namespace
}  // namespace vandrel::core

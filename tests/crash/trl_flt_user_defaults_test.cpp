#include "crash/kit/trl_flt_user_defaults.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/defaults.h"
#include "platform/value.h"
#include "tests/support/named_pipe.h"
#include "tests/support/temp_dir.h"

namespace vandrel::crash {
namespace {

namespace fs = std::filesystem;
using platform::Value;

constexpr std::string_view kBundleId = "com.example/app";

using test_support::readFile;

void writeFile(const fs::path& path, std::string_view text) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

class TRLFLTUserDefaultsTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/trl-defaults-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    base_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

  std::unique_ptr<TRLFLTUserDefaults> open() {
    return std::make_unique<TRLFLTUserDefaults>(base_, kBundleId);
  }
  fs::path file() const { return base_ / "com.example_app" / "com.faultline" / "FLTUserDefaults.plist"; }

  fs::path base_;
};

TEST_F(TRLFLTUserDefaultsTest, FileLivesUnderEscapedBundleIdentifier) {
  auto store = open();
  EXPECT_EQ(store->fileURL(), file());
  EXPECT_EQ(store->directoryURL(), file().parent_path());
  EXPECT_EQ(TRLFLTUserDefaults::generateDirectoryURLForBaseURL("/x", "a/b"),
            fs::path("/x/a_b/com.faultline"));
  // Without a bundle identifier the identifier level is skipped.
  EXPECT_EQ(TRLFLTUserDefaults::generateDirectoryURLForBaseURL("/x", ""),
            fs::path("/x/com.faultline"));
}

TEST_F(TRLFLTUserDefaultsTest, SynchronizeWithoutChangesTouchesNothing) {
  auto store = open();
  EXPECT_TRUE(store->synchronize());
  EXPECT_FALSE(store->synchronizeWroteToDisk());
  EXPECT_FALSE(fs::exists(store->directoryURL()));

  store->setString("x", "k");
  EXPECT_TRUE(store->synchronize());
  EXPECT_TRUE(store->synchronizeWroteToDisk());
  const auto written = fs::last_write_time(file());
  EXPECT_TRUE(store->synchronize());
  EXPECT_FALSE(store->synchronizeWroteToDisk());
  EXPECT_EQ(fs::last_write_time(file()), written);
}

TEST_F(TRLFLTUserDefaultsTest, ValuesSurviveOnlyAfterSynchronize) {
  {
    auto store = open();
    store->setString("3f2a-uuid", kTRLInstallationUUIDKey);
    store->setInteger(2, kTRLDataCollectionKey);
    store->setBool(true, "flag");
    store->setObject(Value(Value::Array{1, "two"}), "list");
    ASSERT_TRUE(store->synchronize());
    store->setString("never written", "unsynced");
  }
  auto reopened = open();
  EXPECT_EQ(reopened->stringForKey(kTRLInstallationUUIDKey), "3f2a-uuid");
  EXPECT_EQ(reopened->integerForKey(kTRLDataCollectionKey), 2);
  EXPECT_TRUE(reopened->boolForKey("flag"));
  EXPECT_EQ(reopened->objectForKey("list"), Value(Value::Array{1, "two"}));
  EXPECT_TRUE(reopened->objectForKey("unsynced").isNull());

  // The file is a JSON object of exactly the stored keys.
  auto parsed = Value::fromJson(readFile(file()));
  ASSERT_TRUE(parsed.ok());
  ASSERT_NE(parsed.value().asDictionary(), nullptr);
  EXPECT_EQ(*parsed.value().asDictionary(), reopened->dictionaryRepresentation());
}

TEST_F(TRLFLTUserDefaultsTest, TypedReadsFollowNumberAndStringRules) {
  auto store = open();
  store->setBool(true, "bool");
  store->setInteger(5, "int");
  store->setObject(Value(2.9), "double");
  store->setString("1", "string");
  struct Case {
    const char* key;
    bool asBool;
    std::int64_t asInteger;
    std::optional<std::string> asString;
  };
  const Case cases[] = {
      {"bool", true, 1, std::nullopt},
      {"int", true, 5, std::nullopt},
      {"double", true, 2, std::nullopt},
      {"string", false, 0, "1"},
      {"missing", false, 0, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(store->boolForKey(c.key), c.asBool);
    EXPECT_EQ(store->integerForKey(c.key), c.asInteger);
    EXPECT_EQ(store->stringForKey(c.key), c.asString);
  }
}

TEST_F(TRLFLTUserDefaultsTest, NullObjectAndRemovalsDeleteKeys) {
  auto store = open();
  store->setString("a", "a");
  store->setString("b", "b");
  store->setString("c", "c");
  store->setObject(Value(), "a");
  store->removeObjectForKey("b");
  EXPECT_EQ(store->dictionaryRepresentation(), (Value::Dictionary{{"c", "c"}}));
  store->removeAllObjects();
  EXPECT_TRUE(store->dictionaryRepresentation().empty());
}

TEST_F(TRLFLTUserDefaultsTest, DirectoryAtFilePathIsRemovedAndStoreStartsEmpty) {
  fs::create_directories(file() / "inner");
  auto store = open();
  EXPECT_FALSE(fs::exists(file()));
  EXPECT_TRUE(store->dictionaryRepresentation().empty());
  store->setString("v", "k");
  ASSERT_TRUE(store->synchronize());
  EXPECT_TRUE(fs::is_regular_file(file()));
}

TEST_F(TRLFLTUserDefaultsTest, UnreadableFileIsKeptAsideNotOverwritten) {
  struct Case {
    const char* name;
    std::string content;
  };
  const Case cases[] = {
      {"truncated", R"({"com.faultline.iuuid": "3f2a)"},
      {"not an object", R"(["com.faultline.iuuid"])"},
      {"empty", ""},
      {"binary", std::string("\0\xff\x01plist", 8)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(base_ / "com.example_app");
    writeFile(file(), c.content);
    auto store = open();
    EXPECT_TRUE(store->dictionaryRepresentation().empty());
    // Reading it changes nothing on disk.
    EXPECT_EQ(readFile(file()), c.content);

    store->setString("new", "k");
    ASSERT_TRUE(store->synchronize());
    EXPECT_EQ(readFile(file().string() + ".corrupt"), c.content);
    EXPECT_EQ(open()->stringForKey("k"), "new");
    // Moved aside once: later writes leave the kept copy alone.
    store->setString("newer", "k");
    ASSERT_TRUE(store->synchronize());
    EXPECT_EQ(readFile(file().string() + ".corrupt"), c.content);
  }
}

// Opening a FIFO for reading waits for a writer: one in the file's place
// reads as an unreadable file at once, and the first write moves it aside.
TEST_F(TRLFLTUserDefaultsTest, AFIFOInTheFilesPlaceIsUnreadableAndMovedAside) {
  ASSERT_TRUE(test_support::makeNamedPipe(file()));
  std::unique_ptr<TRLFLTUserDefaults> store;
  EXPECT_TRUE(test_support::returnsWithoutWaitingOn(file(), [&] {
    store = open();
    (void)store->dictionaryRepresentation();
  }));
  ASSERT_NE(store, nullptr);
  EXPECT_TRUE(store->dictionaryRepresentation().empty());
  EXPECT_TRUE(fs::is_fifo(file()));

  store->setString("new", "k");
  ASSERT_TRUE(store->synchronize());
  EXPECT_TRUE(fs::is_fifo(file().string() + ".corrupt"));
  EXPECT_TRUE(fs::is_regular_file(file()));
  EXPECT_EQ(open()->stringForKey("k"), "new");
}

TEST_F(TRLFLTUserDefaultsTest, SecondUnreadableFileDoesNotReplaceTheFirstKeptCopy) {
  writeFile(file(), "first{");
  {
    auto store = open();
    store->setString("v", "k");
    ASSERT_TRUE(store->synchronize());
  }
  writeFile(file(), "second{");
  auto store = open();
  store->setString("v", "k");
  ASSERT_TRUE(store->synchronize());
  EXPECT_EQ(readFile(file().string() + ".corrupt"), "first{");
  EXPECT_EQ(readFile(file().string() + ".corrupt-1"), "second{");
}

TEST_F(TRLFLTUserDefaultsTest, FailedWriteKeepsValuesAndIsRetried) {
  auto store = open();
  // A plain file where the folder belongs makes every write fail.
  const fs::path folder = store->directoryURL();
  writeFile(folder, "blocker");
  store->setString("kept", "k");
  EXPECT_FALSE(store->synchronize());
  EXPECT_FALSE(store->synchronizeWroteToDisk());
  EXPECT_EQ(store->stringForKey("k"), "kept");

  fs::remove(folder);
  EXPECT_TRUE(store->synchronize());
  EXPECT_TRUE(store->synchronizeWroteToDisk());
  EXPECT_EQ(open()->stringForKey("k"), "kept");
}

TEST_F(TRLFLTUserDefaultsTest, ConcurrentWritersLoseNothing) {
  auto store = open();
  constexpr int kThreads = 8;
  constexpr int kRounds = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        store->setInteger(i, "thread-" + std::to_string(t));
        store->setString(std::to_string(i), "shared");
        (void)store->integerForKey("thread-" + std::to_string((t + 1) % kThreads));
        EXPECT_TRUE(store->synchronize());
        // Once synchronize returns, the file holds this thread's value: only
        // this thread writes its key, and the file is never torn.
        auto onDisk = Value::fromJson(readFile(file()));
        ASSERT_TRUE(onDisk.ok()) << onDisk.error().message;
        const Value* mine = onDisk.value().find("thread-" + std::to_string(t));
        ASSERT_NE(mine, nullptr);
        EXPECT_EQ(mine->asInt(), i);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  // Every thread's last synchronize put its final value into the file; no
  // slower writer may have put an older state back over it.
  auto reopened = open();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(reopened->integerForKey("thread-" + std::to_string(t)), kRounds - 1) << t;
  }
  EXPECT_EQ(reopened->dictionaryRepresentation(), store->dictionaryRepresentation());
  // No temporary file is left behind.
  for (const auto& entry : fs::directory_iterator(store->directoryURL())) {
    EXPECT_EQ(entry.path().filename(), "FLTUserDefaults.plist");
  }
}

// A process that dies in the middle of writing leaves the previous state
// readable. The child runs with a file-size limit below what it writes, so
// the kernel kills it (SIGXFSZ) partway through the write.
TEST_F(TRLFLTUserDefaultsTest, CrashMidWriteLeavesThePreviousState) {
  {
    auto store = open();
    store->setString("3f2a", kTRLInstallationUUIDKey);
    store->setInteger(1, kTRLDataCollectionKey);
    ASSERT_TRUE(store->synchronize());
  }
  const std::string before = readFile(file());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    const rlimit small{64 * 1024, 64 * 1024};
    ::setrlimit(RLIMIT_FSIZE, &small);
    TRLFLTUserDefaults store(base_, kBundleId);
    store.setInteger(2, kTRLDataCollectionKey);
    store.setString(std::string(512 * 1024, 'x'), "payload");
    (void)store.synchronize();
    ::_exit(0);  // not reached when the limit works
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << "status " << status;

  EXPECT_EQ(readFile(file()), before);
  auto store = open();
  EXPECT_EQ(store->stringForKey(kTRLInstallationUUIDKey), "3f2a");
  EXPECT_EQ(store->integerForKey(kTRLDataCollectionKey), 1);
  EXPECT_TRUE(store->objectForKey("payload").isNull());
  // The dead writer's partial temporary file is swept, nothing else.
  for (const auto& entry : fs::directory_iterator(store->directoryURL())) {
    EXPECT_EQ(entry.path().filename(), "FLTUserDefaults.plist");
  }
  // The next write goes through as usual.
  store->setInteger(2, kTRLDataCollectionKey);
  ASSERT_TRUE(store->synchronize());
  EXPECT_EQ(open()->integerForKey(kTRLDataCollectionKey), 2);
}

class TRLFLTUserDefaultsMigrationTest : public TRLFLTUserDefaultsTest {
 protected:
  void SetUp() override {
    TRLFLTUserDefaultsTest::SetUp();
    platformDefaults_ = std::make_unique<platform::Defaults>(base_ / "platform.json");
  }
  std::unique_ptr<platform::Defaults> platformDefaults_;
};

TEST_F(TRLFLTUserDefaultsMigrationTest, HeldKeysMoveIntoTheFileAndLeaveThePlatformDefaults) {
  ASSERT_TRUE(platformDefaults_->set("old-uuid", "3f2a"));
  ASSERT_TRUE(platformDefaults_->set("other", 7));
  auto store = open();
  store->migrateFromNSUserDefaults({"old-uuid", "absent"}, *platformDefaults_);
  EXPECT_EQ(store->stringForKey("old-uuid"), "3f2a");
  EXPECT_EQ(open()->stringForKey("old-uuid"), "3f2a");
  EXPECT_FALSE(platformDefaults_->object("old-uuid").has_value());
  EXPECT_EQ(platformDefaults_->getInt("other"), 7);
}

TEST_F(TRLFLTUserDefaultsMigrationTest, KeysThePlatformDefaultsLackChangeNothing) {
  ASSERT_TRUE(platformDefaults_->set("other", 7));
  const std::string before = readFile(base_ / "platform.json");
  auto store = open();
  store->migrateFromNSUserDefaults({"absent"}, *platformDefaults_);
  EXPECT_TRUE(store->objectForKeyByMigratingFromNSUserDefaults("absent", *platformDefaults_).isNull());
  EXPECT_TRUE(store->dictionaryRepresentation().empty());
  EXPECT_FALSE(fs::exists(store->directoryURL()));
  EXPECT_EQ(readFile(base_ / "platform.json"), before);
}

TEST_F(TRLFLTUserDefaultsMigrationTest, ObjectByMigratingPrefersOwnValueThenTakesOver) {
  ASSERT_TRUE(platformDefaults_->set("k", "platform"));
  ASSERT_TRUE(platformDefaults_->set("j", "platform-j"));
  auto store = open();
  store->setString("own", "k");
  EXPECT_EQ(store->objectForKeyByMigratingFromNSUserDefaults("k", *platformDefaults_), Value("own"));
  EXPECT_EQ(platformDefaults_->getString("k"), "platform");

  EXPECT_EQ(store->objectForKeyByMigratingFromNSUserDefaults("j", *platformDefaults_),
            Value("platform-j"));
  EXPECT_EQ(open()->stringForKey("j"), "platform-j");
  EXPECT_FALSE(platformDefaults_->object("j").has_value());
}

TEST_F(TRLFLTUserDefaultsMigrationTest, FailedWriteLeavesThePlatformCopyInPlace) {
  ASSERT_TRUE(platformDefaults_->set("a", "1"));
  ASSERT_TRUE(platformDefaults_->set("b", "2"));
  auto store = open();
  writeFile(store->directoryURL(), "blocker");
  store->migrateFromNSUserDefaults({"a"}, *platformDefaults_);
  EXPECT_EQ(store->objectForKeyByMigratingFromNSUserDefaults("b", *platformDefaults_), Value("2"));
  // Not in our file yet, so the only durable copies stay where they were.
  EXPECT_EQ(platformDefaults_->getString("a"), "1");
  EXPECT_EQ(platformDefaults_->getString("b"), "2");
}

}  // namespace
}  // namespace vandrel::crash

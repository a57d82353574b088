#include "platform/defaults.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <future>
#include <limits>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vandrel::platform {
namespace {

using test_support::ScopedEnv;

namespace fs = std::filesystem;

using test_support::readFile;

void writeFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::vector<std::string> directoryEntries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class DefaultsTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vandrel-defaults-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    file_ = dir_ / "suite.json";
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::unique_ptr<Defaults> open() { return std::make_unique<Defaults>(file_); }

  fs::path dir_;
  fs::path file_;
};

enum Getter { kBool, kInt, kDouble, kString, kData, kDate, kArray, kDictionary, kGetterCount };

// Which typed getter answers for a stored value, and with what.
std::optional<Value> readAs(const Defaults& d, const std::string& key, Getter getter) {
  switch (getter) {
    case kBool:
      if (auto v = d.getBool(key)) return Value(*v);
      break;
    case kInt:
      if (auto v = d.getInt(key)) return Value(*v);
      break;
    case kDouble:
      if (auto v = d.getDouble(key)) return Value(*v);
      break;
    case kString:
      if (auto v = d.getString(key)) return Value(*v);
      break;
    case kData:
      if (auto v = d.getData(key)) return Value(*v);
      break;
    case kDate:
      if (auto v = d.getDate(key)) return Value(*v);
      break;
    case kArray:
      if (auto v = d.getArray(key)) return Value(*v);
      break;
    case kDictionary:
      if (auto v = d.getDictionary(key)) return Value(*v);
      break;
    case kGetterCount:
      break;
  }
  return std::nullopt;
}

struct TypeCase {
  const char* key;
  Value value;
  Getter getter;  // the only getter that may answer
};

TEST_F(DefaultsTest, EachTypeReadsOnlyThroughItsOwnGetterAlsoAfterReopen) {
  const TypeCase cases[] = {
      {"isAutoConnect", Value(true), kBool},
      {"isAutoLaunch", Value(false), kBool},
      {"connectModeCache", Value(2), kInt},
      {"zero", Value(0), kInt},
      {"one", Value(1), kInt},
      {"big", Value(std::int64_t{1} << 62), kInt},
      {"negative", Value(-8), kInt},
      {"whole double", Value(5.0), kDouble},
      {"double", Value(2.5), kDouble},
      {"numeric string", Value("1"), kString},
      {"true string", Value("true"), kString},
      {"empty string", Value(""), kString},
      {"data", Value(Value::Data{0, 1, 0xfe, 0xff}), kData},
      {"date", Value(Date{1700000000.5}), kDate},
      {"lastExcludeArrayKey", Value(Value::Array{"10.0.0.0/8", 1, true}), kArray},
      {"dictionary", Value(Value::Dictionary{{"a", 1}, {"$type", "x"}}), kDictionary},
      {"com.faultline.data_collection", Value(1), kInt},
      {"path/with/slashes", Value("slash"), kString},
      {"colon:key::", Value(3), kInt},
      {"mixed/:key", Value(Value::Data{7}), kData},
      {"", Value("empty key"), kString},
  };
  {
    auto defaults = open();
    for (const auto& c : cases) EXPECT_TRUE(defaults->set(c.key, c.value)) << c.key;
  }
  auto fresh = open();
  auto original = open();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    const auto value = fresh->object(c.key);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(*value, c.value);
    EXPECT_EQ(value->type(), c.value.type());
    for (int g = 0; g < kGetterCount; ++g) {
      const auto read = readAs(*fresh, c.key, static_cast<Getter>(g));
      if (g == c.getter) {
        EXPECT_EQ(read, c.value) << "getter " << g;
      } else {
        EXPECT_FALSE(read.has_value()) << "getter " << g << " converted the value";
      }
    }
  }
  EXPECT_EQ(fresh->dictionaryRepresentation().size(), std::size(cases));
}

TEST_F(DefaultsTest, MissingKeysAndNullAreAbsentForTypedGetters) {
  auto defaults = open();
  EXPECT_FALSE(defaults->object("missing").has_value());
  EXPECT_FALSE(defaults->getBool("missing").has_value());
  EXPECT_TRUE(defaults->set("null", Value()));
  EXPECT_EQ(defaults->object("null"), Value());
  EXPECT_FALSE(defaults->getString("null").has_value());
  EXPECT_EQ(open()->object("null"), Value());
}

TEST_F(DefaultsTest, RemoveAndRemoveAllPersist) {
  auto defaults = open();
  EXPECT_TRUE(defaults->set("a", 1));
  EXPECT_TRUE(defaults->set("b", "two"));
  EXPECT_TRUE(defaults->set("a", "replaced"));
  EXPECT_TRUE(defaults->remove("b"));
  EXPECT_TRUE(defaults->remove("never there"));
  EXPECT_EQ(open()->dictionaryRepresentation(), (Value::Dictionary{{"a", "replaced"}}));
  EXPECT_TRUE(defaults->removeAll());
  EXPECT_TRUE(defaults->dictionaryRepresentation().empty());
  EXPECT_TRUE(open()->dictionaryRepresentation().empty());
}

TEST_F(DefaultsTest, WritesAreAtomicAndLeaveNoTemporaryFiles) {
  auto defaults = open();
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(defaults->set("key" + std::to_string(i), i));
  EXPECT_TRUE(defaults->synchronize());
  EXPECT_EQ(directoryEntries(dir_), (std::vector<std::string>{"suite.json"}));
  EXPECT_EQ(fs::status(file_).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  // The file is plain, readable JSON.
  Result<Value> parsed = Value::fromJson(readFile(file_));
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(parsed.value().find("key49")->asInt(), 49);
}

TEST_F(DefaultsTest, SynchronizeWithNothingChangedWritesNothing) {
  auto defaults = open();
  EXPECT_TRUE(defaults->synchronize());
  EXPECT_FALSE(fs::exists(file_));
  EXPECT_TRUE(defaults->remove("absent"));  // no change, no file
  EXPECT_FALSE(fs::exists(file_));
}

TEST_F(DefaultsTest, CorruptFileReadsEmptyAndIsKeptUntilTheNextWrite) {
  const std::string corrupt[] = {
      "{\"isAutoConnect\": tru",        // truncated
      "[1, 2, 3]",                      // not an object
      "{\"a\": {\"$type\": \"nope\", \"value\": 1}}",  // unknown tag
      std::string("\0\1\2garbage", 10),
  };
  for (const auto& text : corrupt) {
    SCOPED_TRACE(text);
    fs::remove(dir_ / "suite.json.corrupt");
    writeFile(file_, text);
    testing::internal::CaptureStderr();
    auto defaults = open();
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("reads as empty"), std::string::npos) << errors;
    EXPECT_TRUE(defaults->dictionaryRepresentation().empty());
    EXPECT_FALSE(defaults->getBool("isAutoConnect").has_value());
    EXPECT_TRUE(defaults->synchronize());
    EXPECT_EQ(readFile(file_), text);

    EXPECT_TRUE(defaults->set("isAutoConnect", true));
    EXPECT_EQ(open()->getBool("isAutoConnect"), true);
    EXPECT_EQ(readFile(dir_ / "suite.json.corrupt"), text);  // set aside, not lost
  }
}

TEST_F(DefaultsTest, EntryThatIsNotAFileReadsEmptyWithoutBlockingAndIsMovedAside) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> make;
    fs::file_type type;
  };
  const Case cases[] = {
      {"fifo", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
       fs::file_type::fifo},
      {"directory", [](const fs::path& p) { fs::create_directory(p); }, fs::file_type::directory},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_ / "suite.json.corrupt");
    fs::remove_all(file_);
    c.make(file_);
    testing::internal::CaptureStderr();
    auto opening = std::async(std::launch::async, [&] { return open(); });
    if (opening.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      // Give the blocked reader a writer so the test can end.
      const int writer = ::open(file_.c_str(), O_WRONLY | O_NONBLOCK);
      ADD_FAILURE() << "opening the store blocked on the entry";
      if (writer >= 0) ::close(writer);
    }
    auto defaults = opening.get();
    (void)testing::internal::GetCapturedStderr();
    EXPECT_TRUE(defaults->dictionaryRepresentation().empty());
    EXPECT_TRUE(defaults->set("isAutoConnect", true));
    EXPECT_EQ(open()->getBool("isAutoConnect"), true);
    EXPECT_EQ(fs::symlink_status(dir_ / "suite.json.corrupt").type(), c.type);
  }
}

TEST_F(DefaultsTest, NonFiniteDatesDoNotMakeTheFileUnreadable) {
  {
    auto defaults = open();
    EXPECT_TRUE(defaults->set("lastConnected", Date{1700000000}));
    EXPECT_TRUE(defaults->set("never", Date{std::numeric_limits<double>::infinity()}));
    EXPECT_TRUE(defaults->set("unknown", Date{std::nan("")}));
  }
  testing::internal::CaptureStderr();
  auto reopened = open();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(reopened->getDate("lastConnected"), Date{1700000000});
  EXPECT_EQ(reopened->getDate("never"), Date{std::numeric_limits<double>::infinity()});
  ASSERT_TRUE(reopened->getDate("unknown").has_value());
  EXPECT_TRUE(std::isnan(reopened->getDate("unknown")->secondsSince1970));
}

// Storing what a key already holds writes nothing; a value that differs
// only in its type is a new value.
TEST_F(DefaultsTest, SettingTheHeldValueAgainWritesNothingButAnotherTypeIsWritten) {
  struct Case {
    const char* name;
    Value first;
    Value second;
    bool rewritten;
  };
  const Case cases[] = {
      {"same int", Value(std::int64_t{1}), Value(std::int64_t{1}), false},
      {"same text", Value(std::string("true")), Value(std::string("true")), false},
      {"same list", Value(Value::Array{Value(std::string("a"))}),
       Value(Value::Array{Value(std::string("a"))}), false},
      {"int then double", Value(std::int64_t{1}), Value(1.0), true},
      {"text then int", Value(std::string("1")), Value(std::int64_t{1}), true},
      {"bool then int", Value(true), Value(std::int64_t{1}), true},
      {"other list", Value(Value::Array{Value(std::string("a"))}),
       Value(Value::Array{Value(std::string("b"))}), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(file_);
    auto defaults = open();
    ASSERT_TRUE(defaults->set("key", c.first));
    ASSERT_TRUE(defaults->synchronize());
    // A mark behind the store's back shows whether the next set writes.
    writeFile(file_, R"({"mark": true})");
    ASSERT_TRUE(defaults->set("key", c.second));
    ASSERT_TRUE(defaults->synchronize());
    EXPECT_EQ(readFile(file_).find("mark") == std::string::npos, c.rewritten);
    if (c.rewritten) {
      EXPECT_EQ(open()->object("key"), c.second);
    }
    EXPECT_EQ(defaults->object("key"), c.second);
  }
}

TEST_F(DefaultsTest, FailedWriteKeepsTheValueAndIsReported) {
  writeFile(dir_ / "not-a-directory", "x");
  Defaults defaults(dir_ / "not-a-directory" / "suite.json");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(defaults.set("key", 1));
  EXPECT_FALSE(defaults.synchronize());
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_NE(errors.find("cannot create"), std::string::npos) << errors;
  EXPECT_EQ(defaults.getInt("key"), 1);
}

// A write that failed (a file where the folder should be) is written once
// the obstacle is gone: by setting the same value again, or by synchronize.
TEST_F(DefaultsTest, AWriteThatFailedIsRetried) {
  const std::pair<const char*, std::function<bool(Defaults&)>> retries[] = {
      {"the same value set again", [](Defaults& d) { return d.set("key", 1); }},
      {"synchronize", [](Defaults& d) { return d.synchronize(); }},
  };
  for (const auto& [name, retry] : retries) {
    SCOPED_TRACE(name);
    const fs::path blocker = dir_ / "later";
    writeFile(blocker, "x");
    Defaults defaults(blocker / "suite.json");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(defaults.set("key", 1));
    (void)testing::internal::GetCapturedStderr();
    fs::remove(blocker);
    EXPECT_TRUE(retry(defaults));
    EXPECT_EQ(Defaults(blocker / "suite.json").getInt("key"), 1);
    fs::remove_all(blocker);
  }
}

TEST_F(DefaultsTest, ConcurrentWritersLoseNothing) {
  auto defaults = open();
  constexpr int kThreads = 6;
  constexpr int kKeys = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kKeys; ++i) {
        EXPECT_TRUE(defaults->set(std::to_string(t) + "/" + std::to_string(i), i));
        if (i % 10 == 0) {
          EXPECT_TRUE(defaults->synchronize());
        }
        (void)defaults->getInt("0/0");
      }
    });
  }
  for (auto& thread : threads) thread.join();
  auto reopened = open();
  EXPECT_EQ(reopened->dictionaryRepresentation().size(), std::size_t{kThreads * kKeys});
  EXPECT_EQ(reopened->getInt("5/39"), 39);
  EXPECT_EQ(directoryEntries(dir_), (std::vector<std::string>{"suite.json"}));
}

TEST_F(DefaultsTest, SuitesLiveUnderXdgConfigHome) {
  ScopedEnv config("XDG_CONFIG_HOME", (dir_ / "config").string());
  ScopedEnv bundle("VANDREL_BUNDLE", (dir_ / "NoInfo.app").string());
  EXPECT_EQ(Defaults::pathForSuite("group.com.vandrel"),
            dir_ / "config" / "vandrel" / "group.com.vandrel.json");
  EXPECT_EQ(Defaults::pathForSuite("a/b"), dir_ / "config" / "vandrel" / "a_b.json");

  Defaults& group = Defaults::suite("group.com.vandrel");
  EXPECT_EQ(&group, &Defaults::suite("group.com.vandrel"));
  EXPECT_TRUE(group.set("shared", 1));
  EXPECT_TRUE(fs::exists(dir_ / "config" / "vandrel" / "group.com.vandrel.json"));

  // A bundle without an identifier falls back to the product's identifier.
  EXPECT_EQ(Defaults::standard().path(),
            dir_ / "config" / "vandrel" / "com.vandrel.mac.offline.json");

  fs::create_directories(dir_ / "Other.app" / "Contents");
  writeFile(dir_ / "Other.app" / "Contents" / "Info.json", R"({"CFBundleIdentifier": "com.other"})");
  ScopedEnv otherBundle("VANDREL_BUNDLE", (dir_ / "Other.app").string());
  EXPECT_EQ(Defaults::standard().path(), dir_ / "config" / "vandrel" / "com.other.json");
}

}  // namespace
}  // namespace vandrel::platform

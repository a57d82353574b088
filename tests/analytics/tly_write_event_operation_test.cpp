#include "analytics/tally/tly_write_event_operation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "analytics/tally/tly_crash_metadata.h"
#include "analytics/tally/tly_event.h"
#include "analytics/tally/tly_logger.h"
#include "analytics/tally/tly_metadata.h"
#include "crash/kit/flt_data_collection_arbiter.h"
#include "crash/kit/trellis.h"
#include "crash/kit/trl_application_identity.h"
#include "crash/kit/trl_flt_user_defaults.h"
#include "platform/bundle.h"
#include "platform/defaults.h"
#include "platform/file_io.h"
#include "platform/value.h"
#include "tests/support/temp_dir.h"

namespace vandrel::analytics {
namespace {

using Dict = platform::Value::Dictionary;
using test_support::readFile;
using test_support::TempDir;
namespace fs = std::filesystem;

void writeText(const fs::path& path, std::string_view text) {
  ASSERT_TRUE(platform::replaceFileAtomically(path.string(), text, 0644)) << path;
}

// 1700000000.5 s: exact in binary, so the millisecond field is exact too.
const platform::WallTime kEventTime =
    platform::WallTime(std::chrono::seconds(1700000000) + std::chrono::milliseconds(500));

class FixtureEvent final : public TLYEvent {
 public:
  FixtureEvent(std::string name, Dict payload, platform::WallTime time = kEventTime)
      : TLYEvent(time), name_(std::move(name)), payload_(std::move(payload)) {}
  std::string name() const override { return name_; }
  Dict dictionaryRepresentation() const override { return payload_; }

 private:
  std::string name_;
  Dict payload_;
};

TLYMetadata fixtureMetadata(std::optional<std::string> betaToken = "tok") {
  return TLYMetadata(TLYMetadataFields{.APIKey = "k1",
                                       .betaToken = std::move(betaToken),
                                       .buildVersion = "42",
                                       .bundleIdentifier = "com.vandrel_mac",
                                       .displayVersion = "1.2",
                                       .executionIdentifier = "EXEC",
                                       .hostModel = "Model 1",
                                       .installationId = "INSTALL",
                                       .instanceIdentifier = "inst",
                                       .locale = "en_US",
                                       .numberOfCores = 8,
                                       .OSBuildVersion = "#1 SMP",
                                       .OSDisplayVersion = "12.0.0"});
}

std::shared_ptr<const TLYEvent> hostileEvent() {
  return std::make_shared<FixtureEvent>(
      "custom", Dict{{"eventId", "E1"},
                     {"custom_type", "hostile"},
                     {"custom_attributes",
                      Dict{{"quote\"d\n", "line1\nline2\ttab\\ \"q\" \xC3\xA9 \x01 \r"}}}});
}

// What the uploader reads: the metadata line, then the event line.
const std::string kMetadataLine =
    std::string("1700000000500\tmetadata\t406\t") +
    R"({"api_key":"k1","beta_tester_token":"tok","bundle_id":"com.vandrel_mac",)"
    R"("bundle_short_version":"1.2","bundle_version":"42","cores":8,"generator":"Tally Mac SDK/1.4.1",)"
    R"("install_id":"INSTALL","instance_id":"inst","jailbroken":false,"locale":"en_US",)"
    R"("machine":"Model 1","model":"Model 1","os_build":"#1 SMP","os_version":"12.0.0",)"
    R"("platform":"Mac","platform_code":0,"session_id":"EXEC","started_at":1700000000})" + "\n";
const std::string kHostileLine =
    std::string("1700000000500\tcustom\t116\t") +
    R"({"custom_attributes":{"quote\"d\n":"line1\nline2\ttab\\ \"q\" é \u0001 \r"},)"
    R"("custom_type":"hostile","eventId":"E1"})" + "\n";

struct LoggedLines {
  LoggedLines() { logger.setDebugMode(true); }
  std::vector<std::string> lines;
  TLYLogger logger{[this](std::string_view line) { lines.emplace_back(line); }};
};

// Splits a log file as a reader does and says which lines are whole: four
// tab-separated fields whose third is the byte count of the fourth.
std::vector<bool> wholeLines(const std::string& content) {
  std::vector<bool> whole;
  std::istringstream in(content);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (int i = 0; i < 3; ++i) {
      const std::size_t tab = line.find('\t', start);
      if (tab == std::string::npos) break;
      fields.push_back(line.substr(start, tab - start));
      start = tab + 1;
    }
    fields.push_back(line.substr(start));
    whole.push_back(fields.size() == 4 && fields[2] == std::to_string(fields[3].size()) &&
                    platform::Value::fromJson(fields[3]).ok());
  }
  return whole;
}

TEST(TLYWriteEventOperationTest, NewFileGetsMetadataThenEventLineByteForByte) {
  TempDir dir;
  const auto path = dir / "A.log";
  const TLYMetadata metadata = fixtureMetadata();
  LoggedLines log;

  TLYWriteEventOperation first(hostileEvent(), metadata, path, &log.logger);
  first.main();
  EXPECT_TRUE(first.success());
  EXPECT_EQ(readFile(path), kMetadataLine + kHostileLine);
  EXPECT_EQ(first.formattedEvent().value() + "\n", kHostileLine);

  // Into the same file: one line only.
  TLYWriteEventOperation second(hostileEvent(), metadata, path, &log.logger);
  second.main();
  EXPECT_TRUE(second.success());
  EXPECT_EQ(readFile(path), kMetadataLine + kHostileLine + kHostileLine);
  EXPECT_EQ(wholeLines(readFile(path)), (std::vector<bool>{true, true, true}));
  EXPECT_TRUE(log.lines.empty());

  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(TLYWriteEventOperationTest, PayloadLengthCountsUTF8Bytes) {
  const auto event = std::make_shared<FixtureEvent>("custom", Dict{{"k", "\xC3\xA9"}});
  TLYWriteEventOperation op(event, fixtureMetadata(), "/nonexistent/x.log");
  // {"k":"é"} is nine characters and ten bytes: the letter counts two.
  EXPECT_EQ(op.formattedEvent(), "1700000000500\tcustom\t10\t{\"k\":\"\xC3\xA9\"}");
}

TEST(TLYWriteEventOperationTest, RealCustomEventKeepsHostileTextOnOneLine) {
  TempDir dir;
  // The attribute dictionary refuses the non-UTF-8 entry; the rest stays.
  const TLYAttributeEntries attributes{{platform::Value("bad\xFF"), platform::Value("v")},
                                       {platform::Value("ok"), platform::Value("a\nb\r\"}\t")}};
  const auto event = std::make_shared<TLYCustomEvent>("x\ny", attributes, [](std::string_view) {});
  TLYWriteEventOperation op(event, fixtureMetadata(), dir / "A.log");
  op.main();
  ASSERT_TRUE(op.success());
  const std::string content = readFile(dir / "A.log");
  EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 2);
  EXPECT_EQ(wholeLines(content), (std::vector<bool>{true, true}));
  const std::string& line = *op.formattedEvent();
  const auto payload = platform::Value::fromJson(line.substr(line.rfind('\t') + 1));
  ASSERT_TRUE(payload.ok());
  EXPECT_EQ(*payload.value().find("custom_attributes"), platform::Value(Dict{{"ok", "a\nb\r\"}\t"}}));
  EXPECT_EQ(*payload.value().find("custom_type"), platform::Value("x\ny"));
}

TEST(TLYWriteEventOperationTest, EventsWithoutAJSONFormWriteNothing) {
  struct Case {
    const char* name;
    std::shared_ptr<const TLYEvent> event;
  };
  const Case cases[] = {
      {"invalid UTF-8 value", std::make_shared<FixtureEvent>("custom", Dict{{"k", "\xFF\xFE"}})},
      {"invalid UTF-8 key", std::make_shared<FixtureEvent>("custom", Dict{{"\xC3", 1}})},
      {"NaN", std::make_shared<FixtureEvent>("custom", Dict{{"k", std::nan("")}})},
      {"bytes", std::make_shared<FixtureEvent>("custom", Dict{{"k", platform::Value::Data{1}}})},
      {"name with a line break", std::make_shared<FixtureEvent>("cus\ntom", Dict{})},
      {"name with a tab", std::make_shared<FixtureEvent>("cus\ttom", Dict{})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    TLYWriteEventOperation op(c.event, fixtureMetadata(), dir / "A.log");
    EXPECT_FALSE(op.formattedEvent().has_value());
    op.main();
    EXPECT_FALSE(op.success());
    EXPECT_EQ(readFile(dir / "A.log"), "");
  }
}

TEST(TLYWriteEventOperationTest, BetaTokenOnlyFromVersionTwoTokens) {
  struct Case {
    std::optional<std::string> token;
    std::optional<std::string> beta;
  };
  const Case cases[] = {
      {"2:abc", "abc"}, {"2:", ""},          {"3:abc", std::nullopt}, {"abc", std::nullopt},
      {"2:a:b", std::nullopt}, {std::nullopt, std::nullopt}, {":abc", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.token.value_or("(none)"));
    const auto beta = TLYMetadata::betaTesterTokenFromStartupToken(c.token);
    EXPECT_EQ(beta, c.beta);
    const Dict d = *fixtureMetadata(beta).dictionaryRepresentationWithStartTime(5);
    EXPECT_EQ(d.count("beta_tester_token"), c.beta ? 1u : 0u);
  }
  // Absent facts are left out, never written as null.
  const Dict bare = *TLYMetadata(TLYMetadataFields{}).dictionaryRepresentationWithStartTime(7);
  EXPECT_EQ(bare, (Dict{{"generator", "Tally Mac SDK/1.4.1"}, {"started_at", 7}, {"platform", "Mac"},
                        {"platform_code", 0}, {"cores", 0}, {"jailbroken", false}}));
}

TEST(TLYMetadataTest, CapturesTheRegistryBundleAndHostFacts) {
  TempDir dir;
  // A bundle whose identifier holds "/", and a host root with its facts.
  fs::create_directories(dir / "App.app" / "Contents");
  writeText(dir / "App.app" / "Contents" / "Info.json",
            R"({"CFBundleIdentifier":"com.vandrel/mac","CFBundleVersion":"77","CFBundleShortVersionString":"3.1"})");
  fs::create_directories(dir / "root" / "proc" / "sys" / "kernel");
  fs::create_directories(dir / "root" / "sys" / "devices" / "virtual" / "dmi" / "id");
  writeText(dir / "root" / "proc" / "sys" / "kernel" / "version", "#7 SMP PREEMPT");
  writeText(dir / "root" / "sys" / "devices" / "virtual" / "dmi" / "id" / "product_name", "Box 9\n");
  const platform::Bundle bundle(dir / "App.app");
  crash::SystemFactsSource host;
  host.root = (dir / "root").string();

  crash::TRLFLTUserDefaults defaults(dir / "defaults", "com.vandrel.mac");
  platform::Defaults standard(dir / "standard.json");
  crash::FLTBCNApp bcnApp(crash::FLTBCNApp::ClassHandle(), nullptr, nullptr);
  crash::FLTDataCollectionArbiter arbiter(defaults, Dict{}, bcnApp);
  crash::TrellisEnvironment env;
  env.defaults = &defaults;
  env.migrationSource = &standard;
  env.info = Dict{};
  env.arbiter = &arbiter;
  env.lookUpClass = [](std::string_view) -> crash::TRLKitClassPtr { return nullptr; };
  env.log = [](std::string_view) {};
  env.makeApplicationIdentifierModel = [](const std::string& installID) {
    crash::TRLExecutableInfo executable;
    executable.architectureUUIDMap = {{"x86_64", "00112233445566778899aabbccddeeff"}};
    return crash::TRLApplicationIdentifierModel::initWithInstallID(
        installID, [=] { return std::optional(executable); }, "com.vandrel_mac");
  };
  crash::Trellis trellis(std::move(env));
  trellis.setAPIKey("key-1");

  const TLYMetadata metadata = TLYMetadata::initWithTrellis(trellis, std::string("2:tester"), bundle, host);
  const Dict d = *metadata.dictionaryRepresentationWithStartTime(1700000000);
  EXPECT_EQ(d.at("api_key"), platform::Value("key-1"));
  EXPECT_EQ(d.at("beta_tester_token"), platform::Value("tester"));
  EXPECT_EQ(d.at("bundle_id"), platform::Value("com.vandrel_mac"));
  EXPECT_EQ(d.at("bundle_version"), platform::Value("77"));
  EXPECT_EQ(d.at("bundle_short_version"), platform::Value("3.1"));
  EXPECT_EQ(d.at("install_id"), platform::Value(trellis.installID()));
  EXPECT_FALSE(trellis.installID().empty());
  EXPECT_EQ(d.at("session_id"), platform::Value(trellis.executionIdentifier()));
  EXPECT_EQ(d.at("instance_id"), platform::Value(*trellis.instanceIdentifier()));
  EXPECT_EQ(d.at("model"), platform::Value("Box 9"));
  EXPECT_EQ(d.at("machine"), platform::Value("Box 9"));
  EXPECT_EQ(d.at("os_build"), platform::Value("#7 SMP PREEMPT"));
  EXPECT_EQ(d.at("os_version"), platform::Value(crash::TRLOSDisplayVersion(host)));
  EXPECT_EQ(d.at("started_at"), platform::Value(1700000000));
  EXPECT_GT(*d.at("cores").asInt(), 0);
  EXPECT_EQ(metadata.installationId(), trellis.installID());
}

TEST(TLYWriteEventOperationTest, CrashEventRepeatsTheStoredMetadata) {
  TempDir dir;
  const Dict stored{{"generator", "Tally Mac SDK/1.4.1"}, {"started_at", 1600000000}, {"session_id", "OLD"}};
  ASSERT_TRUE(TLYCrashMetadata::writeSerializedDictionary(stored, dir / "crash_metadata"));
  EXPECT_EQ(readFile(dir / "crash_metadata"),
            R"({"generator":"Tally Mac SDK/1.4.1","session_id":"OLD","started_at":1600000000})");
  const auto read = TLYCrashMetadata::readSerializedDictionaryFromURL(dir / "crash_metadata");
  ASSERT_TRUE(read.has_value());
  const TLYCrashMetadata crashMetadata(*read);

  const auto crash = std::make_shared<TLYCrashEvent>(kEventTime, TLYCrashEvent::kBackground);
  TLYWriteEventOperation op(crash, crashMetadata, dir / "A.log");
  op.main();
  ASSERT_TRUE(op.success());
  const std::string storedJson = R"({"generator":"Tally Mac SDK/1.4.1","session_id":"OLD","started_at":1600000000})";
  EXPECT_EQ(op.formattedMetadata(),
            "1700000000500\tmetadata\t" + std::to_string(storedJson.size()) + "\t" + storedJson);
  EXPECT_EQ(readFile(dir / "A.log").rfind(*op.formattedMetadata() + "\n1700000000500\tapp_crashed\t", 0), 0u);

  // Missing, not JSON, not an object: nothing.
  ASSERT_TRUE(platform::replaceFileAtomically((dir / "bad").string(), "{\"a\":", 0644));
  ASSERT_TRUE(platform::replaceFileAtomically((dir / "array").string(), "[1]", 0644));
  for (const char* name : {"missing", "bad", "array"}) {
    EXPECT_EQ(TLYCrashMetadata::readSerializedDictionaryFromURL(dir / name), std::nullopt) << name;
  }
}

TEST(TLYWriteEventOperationTest, ExistingEmptyFileStillGetsItsMetadataLine) {
  TempDir dir;
  ASSERT_TRUE(platform::replaceFileAtomically((dir / "A.log").string(), "", 0644));
  TLYWriteEventOperation op(hostileEvent(), fixtureMetadata(), dir / "A.log");
  op.main();
  EXPECT_TRUE(op.success());
  EXPECT_EQ(readFile(dir / "A.log"), kMetadataLine + kHostileLine);
}

TEST(TLYWriteEventOperationTest, ALineCutShortStaysOneBadLineAndTheNextIsWhole) {
  TempDir dir;
  const auto path = dir / "A.log";
  LoggedLines log;
  // The disk fills after 20 bytes of the event line.
  std::size_t budget = kMetadataLine.size() + 20;
  TLYWriteFunction failing = [&](int fd, const void* bytes, std::size_t size) -> ssize_t {
    if (budget == 0) {
      errno = ENOSPC;
      return -1;
    }
    const std::size_t n = std::min(size, budget);
    budget -= n;
    return ::write(fd, bytes, n);
  };
  TLYWriteEventOperation cut(hostileEvent(), fixtureMetadata(), path, &log.logger, failing);
  cut.main();
  EXPECT_FALSE(cut.success());
  EXPECT_EQ(readFile(path), kMetadataLine + kHostileLine.substr(0, 20));
  EXPECT_EQ(log.lines, (std::vector<std::string>{
                           "[Tally:WriteOperation] Failed to write: No space left on device\n",
                           "[Tally:WriteOperation] Error: length doesn't make sense (-1, " +
                               std::to_string(kHostileLine.size() - 20) + ")\n"}));

  TLYWriteEventOperation next(hostileEvent(), fixtureMetadata(), path, &log.logger);
  next.main();
  EXPECT_TRUE(next.success());
  EXPECT_EQ(readFile(path), kMetadataLine + kHostileLine.substr(0, 20) + "\n" + kHostileLine);
  EXPECT_EQ(wholeLines(readFile(path)), (std::vector<bool>{true, false, true}));
}

TEST(TLYWriteEventOperationTest, LogPathThatIsADirectoryWritesNothing) {
  TempDir dir;
  std::filesystem::create_directory(dir / "A.log");
  TLYWriteEventOperation op(hostileEvent(), fixtureMetadata(), dir / "A.log");
  op.main();
  EXPECT_FALSE(op.success());
  TLYWriteEventOperation missingFolder(hostileEvent(), fixtureMetadata(), dir / "no" / "A.log");
  missingFolder.main();
  EXPECT_FALSE(missingFolder.success());
}

TEST(TLYWriteEventOperationTest, WriteLoopMakesAtMostThreeCalls) {
  struct Case {
    const char* name;
    std::vector<ssize_t> returns;  // -2: everything asked; -3: one more than asked
    bool success;
    std::vector<std::string> messages;
  };
  const std::string line = "0123456789";  // 11 bytes with "\n"
  const Case cases[] = {
      {"one call", {-2}, true, {}},
      {"short then rest", {4, -2}, true, {}},
      {"two shorts then rest", {4, 4, -2}, true, {}},
      {"three shorts", {1, 1, 1}, false, {"[Tally:WriteOperation] Error: exited write loop without success\n"}},
      {"nothing written", {0}, false, {"[Tally:WriteOperation] Error: exited write loop without success\n"}},
      {"short then nothing", {3, 0}, false, {"[Tally:WriteOperation] Error: exited write loop without success\n"}},
      {"error", {-1}, false,
       {"[Tally:WriteOperation] Failed to write: Input/output error\n",
        "[Tally:WriteOperation] Error: length doesn't make sense (-1, 11)\n"}},
      {"more than asked", {5, -3}, false, {"[Tally:WriteOperation] Error: length doesn't make sense (7, 6)\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoggedLines log;
    std::vector<std::size_t> asked;
    std::string written;
    TLYWriteFunction fake = [&](int, const void* bytes, std::size_t size) -> ssize_t {
      const ssize_t r = c.returns.at(asked.size());
      asked.push_back(size);
      if (r == -1) {
        errno = EIO;
        return -1;
      }
      const ssize_t n = r == -2 ? static_cast<ssize_t>(size) : r == -3 ? static_cast<ssize_t>(size) + 1 : r;
      written.append(static_cast<const char*>(bytes), std::min<std::size_t>(n, size));
      return n;
    };
    EXPECT_EQ(TLYWriteEventOperation::appendLogLine(line, 7, log.logger, fake), c.success);
    EXPECT_EQ(asked.size(), c.returns.size());
    if (c.success) {
      EXPECT_EQ(written, line + "\n");
    }
    EXPECT_EQ(log.lines, c.messages);
  }
}

TEST(TLYWriteEventOperationTest, TimestampsDropTheFraction) {
  const auto t = platform::WallTime(std::chrono::milliseconds(1999));
  EXPECT_EQ(TLYMillisecondsSince1970(t), 1999u);
  EXPECT_EQ(TLYSecondsSince1970(t), 1u);
  EXPECT_EQ(TLYMillisecondsSince1970(platform::WallTime(std::chrono::seconds(-5))), 0u);
}

}  // namespace
}  // namespace vandrel::analytics

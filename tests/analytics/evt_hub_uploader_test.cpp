#include "analytics/transport/evt_hub_uploader.h"

#include <gtest/gtest.h>
#include <pb_encode.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/transport/evt_application.h"
#include "analytics/transport/evt_batch.pb.h"
#include "analytics/transport/evt_batch_encoder.h"
#include "analytics/transport/evt_flat_file_storage.h"
#include "analytics/transport/evt_registrar.h"
#include "platform/clock.h"
#include "platform/http.h"
#include "platform/notification_center.h"
#include "tests/support/gzip.h"
#include "tests/support/service_standin.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certs.h"

namespace vandrel::analytics {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test_support::ScriptedReply;
using test_support::ServiceStandin;

constexpr EVTCORUploadConditions kWifi = kEVTCORUploadConditionWifiData;
constexpr EVTCORUploadConditions kForced = kWifi | kEVTCORUploadConditionHighPriority;
const std::string kHubPath(kEVTHUBPathHUB);
const std::string kLegacyPath(kEVTHUBPathFLLAndCSH);
const std::string kApiKey = "AbCdEfGhIjKlMnOp0123456789abcdefghijklm";  // 39 characters

std::string replyWithWait(std::optional<std::int64_t> waitMillis) {
  evtbatch_UploadReply reply = evtbatch_UploadReply_init_zero;
  if (waitMillis) {
    reply.has_next_request_wait_millis = true;
    reply.next_request_wait_millis = *waitMillis;
  }
  std::string out(64, '\0');
  pb_ostream_t stream =
      pb_ostream_from_buffer(reinterpret_cast<pb_byte_t*>(out.data()), out.size());
  EXPECT_TRUE(pb_encode(&stream, evtbatch_UploadReply_fields, &reply));
  out.resize(stream.bytes_written);
  return out;
}

// The stand-in's server inflates gzip request bodies itself; whatever still
// arrives gzipped is inflated here.
std::string gunzipped(const std::string& data) {
  if (!EVTHUBCompressionHelper::isGzipped(data)) return data;
  std::optional<std::string> out = test_support::gunzip(data);
  EXPECT_TRUE(out.has_value());
  return out.value_or("");
}

std::string gzipped(const std::string& data) {
  auto out = EVTHUBCompressionHelper::gzippedData(data);
  EXPECT_TRUE(out.has_value());
  return out.value_or("");
}

// The uploader on a real flat-file storage in a temporary directory, a
// private registrar and notification center, a manual clock, and an HTTPS
// stand-in that serves all three endpoints: HUB and CSH on 127.0.0.1, FLL on
// localhost (so the FLL and CSH endpoints differ although they share a path).
class HubUploaderTest : public ::testing::Test {
 protected:
  HubUploaderTest()
      : standin_(ServiceStandin::https()),
        application_(center_),
        storage_(std::make_shared<EVTCORFlatFileStorage>(
            temp_.path(), [](std::int64_t) {}, clock_)) {
    for (std::int64_t target : {kEVTCORTargetHUB, kEVTCORTargetFLL, kEVTCORTargetCSH}) {
      registrar_.registerStorage(storage_, target);
    }
    platform::HttpSessionConfig config;
    config.idleTimeout = 10s;
    config.defaultTrust =
        platform::TrustPolicy::anchorsOnly({test_support::TestCertificateAuthority::shared().der()})
            .value();
    const std::string port = std::to_string(standin_->port());
    EVTHUBEndpoints endpoints{"127.0.0.1:" + port, "localhost:" + port, "127.0.0.1:" + port,
                              kApiKey};
    uploader_ = std::make_shared<EVTHUBUploader>(registrar_, application_, center_, endpoints,
                                                 config, clock_);
    observer_ = center_.addObserver(std::string(kEVTHUBUploadCompleteNotification), nullptr,
                                    std::nullopt, [this](const platform::Notification& n) {
                                      std::lock_guard lock(mutex_);
                                      auto it = n.userInfo.find(
                                          std::string(kEVTHUBUploadCompleteEventCountKey));
                                      counts_.push_back(it == n.userInfo.end()
                                                            ? -1
                                                            : it->second.asInt().value_or(-1));
                                      cv_.notify_all();
                                    });
    standin_->replyTo(kHubPath, 200, "");
    standin_->replyTo(kLegacyPath, 200, "");
  }

  ~HubUploaderTest() override {
    center_.removeObserver(observer_);
    uploader_.reset();
    storage_->storageQueue().sync([] {});
  }

  void store(std::int64_t target, std::string payload, std::int64_t tier = kEVTCORQoSDefault,
             std::string mappingID = "137") {
    auto event = EVTCOREvent::initWithMappingID(mappingID, target, clock_);
    ASSERT_TRUE(event);
    event->setDataObject(std::make_shared<EVTCORDataBytes>(std::move(payload)));
    event->setQosTier(tier);
    event->setClockSnapshot(EVTCORClock::snapshot(clock_));
    std::promise<bool> written;
    storage_->storeEvent(*event, [&](bool ok, std::optional<platform::Error>) {
      written.set_value(ok);
    });
    auto future = written.get_future();
    ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
    ASSERT_TRUE(future.get());
  }

  // Files of `target` waiting in storage, and files cut into batches.
  std::size_t storedCount(std::int64_t target) {
    storage_->storageQueue().sync([] {});
    fs::path dir = storage_->eventDataStoragePath() / std::to_string(target);
    std::size_t n = 0;
    if (fs::exists(dir)) {
      for (const auto& entry : fs::directory_iterator(dir)) n += entry.is_regular_file();
    }
    return n;
  }
  std::size_t batchedCount() {
    storage_->storageQueue().sync([] {});
    std::size_t n = 0;
    for (const auto& entry : fs::recursive_directory_iterator(storage_->batchDataStoragePath())) {
      n += entry.is_regular_file();
    }
    return n;
  }

  // Waits until `n` uploads have finished in all.
  ::testing::AssertionResult waitForUploads(std::size_t n) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, 15s, [&] { return counts_.size() >= n; })) {
      return ::testing::AssertionFailure() << "only " << counts_.size() << " uploads finished";
    }
    return ::testing::AssertionSuccess();
  }
  std::vector<std::int64_t> counts() {
    std::lock_guard lock(mutex_);
    return counts_;
  }

  // Lets a run that sends nothing come to its end: it hops between the
  // uploader and the storage queue a bounded number of times.
  void settle() {
    for (int i = 0; i < 8; ++i) {
      uploader_->uploaderQueue().sync([] {});
      storage_->storageQueue().sync([] {});
    }
  }

  // One upload run that must end in a finished upload.
  void uploadAndWait(std::int64_t target, EVTCORUploadConditions conditions) {
    const std::size_t before = counts().size();
    uploader_->uploadTarget(target, conditions);
    ASSERT_TRUE(waitForUploads(before + 1));
    settle();
  }

  std::size_t requestCount() { return standin_->requests().size(); }

  test_support::TempDir temp_{"hub-uploader"};
  platform::ManualClock clock_;
  std::unique_ptr<ServiceStandin> standin_;
  platform::NotificationCenter center_;
  EVTCORApplication application_;
  EVTCORRegistrar registrar_;
  std::shared_ptr<EVTCORFlatFileStorage> storage_;
  std::shared_ptr<EVTHUBUploader> uploader_;
  platform::ObserverToken observer_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::int64_t> counts_;
};

TEST_F(HubUploaderTest, DeliversABatchWithTheTargetsHeadersAndDeletesIt) {
  struct Case {
    std::int64_t target;
    const char* host;
    std::string path;
    const char* agent;
    bool apiKey;
  };
  const Case cases[] = {
      {kEVTCORTargetHUB, "127.0.0.1", kHubPath, "datatransport/7.0.0 hubsupport/7.0.0 apple/",
       false},
      {kEVTCORTargetFLL, "localhost", kLegacyPath, "datatransport/7.0.0 fllsupport/7.0.0 apple/",
       true},
      {kEVTCORTargetCSH, "127.0.0.1", kLegacyPath, "datatransport/7.0.0 cshsupport/7.0.0 apple/",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    standin_->clearLog();
    // Repetitive payloads compress, so the body goes out gzipped.
    store(c.target, std::string(400, 'a') + "first");
    store(c.target, std::string(400, 'b') + "second");
    uploadAndWait(c.target, kWifi);

    auto requests = standin_->requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& request = requests[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, c.path);
    EXPECT_EQ(request.header("Host").value_or("").rfind(c.host, 0), 0u);
    EXPECT_EQ(request.header("Content-Type"), "application/x-protobuf");
    EXPECT_EQ(request.header("Accept-Encoding"), "gzip");
    EXPECT_EQ(request.header("User-Agent"), c.agent);
    EXPECT_EQ(request.header("X-Gryph-Api-Key"), c.apiKey ? std::optional(kApiKey) : std::nullopt);
    EXPECT_EQ(request.header("Content-Encoding"), "gzip");
    const std::string proto = gunzipped(request.body);
    EXPECT_NE(proto.find(std::string(400, 'a') + "first"), std::string::npos);
    EXPECT_NE(proto.find(std::string(400, 'b') + "second"), std::string::npos);

    EXPECT_EQ(storedCount(c.target), 0u);
    EXPECT_EQ(batchedCount(), 0u);
    EXPECT_FALSE(uploader_->isCurrentlyUploading());
  }
  EXPECT_EQ(counts(), (std::vector<std::int64_t>{2, 2, 2}));
}

TEST_F(HubUploaderTest, AnIncompressibleBodyGoesOutPlain) {
  store(kEVTCORTargetHUB, "x");
  uploadAndWait(kEVTCORTargetHUB, kWifi);
  auto requests = standin_->requestsTo(kHubPath);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_FALSE(requests[0].header("Content-Encoding").has_value());
  EXPECT_FALSE(EVTHUBCompressionHelper::isGzipped(requests[0].body));
  EXPECT_NE(requests[0].body.find('x'), std::string::npos);
}

TEST_F(HubUploaderTest, StatusDecidesWhetherTheEventsGoBack) {
  struct Case {
    int status;
    bool drop;  // the connection closes without a reply
    bool delivered;
  };
  const Case cases[] = {{200, false, true},  {400, false, true},  {500, false, true},
                        {429, false, false}, {503, false, false}, {0, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    standin_->dropEveryConnection(c.drop);
    standin_->replyTo(kLegacyPath, c.status == 0 ? 200 : c.status, "");
    store(kEVTCORTargetCSH, "payload");
    uploadAndWait(kEVTCORTargetCSH, kWifi);
    EXPECT_EQ(storedCount(kEVTCORTargetCSH), c.delivered ? 0u : 1u);
    EXPECT_EQ(batchedCount(), 0u);
    EXPECT_FALSE(uploader_->isCurrentlyUploading());
    // Clean slate for the next case: whatever came back is delivered now.
    standin_->dropEveryConnection(false);
    standin_->replyTo(kLegacyPath, 200, "");
    if (!c.delivered) uploadAndWait(kEVTCORTargetCSH, kWifi);
    ASSERT_EQ(storedCount(kEVTCORTargetCSH), 0u);
  }
}

TEST_F(HubUploaderTest, TheServersWaitTimeHoldsTheEndpointBack) {
  // The reply asks for one minute; HUB stays quiet until it has passed.
  standin_->replyTo(kHubPath, 200, replyWithWait(60000));
  store(kEVTCORTargetHUB, "one");
  uploadAndWait(kEVTCORTargetHUB, kWifi);
  ASSERT_TRUE(uploader_->HUBNextUploadTime().has_value());
  EXPECT_FALSE(uploader_->FLLNextUploadTime().has_value());

  store(kEVTCORTargetHUB, "two");
  uploader_->uploadTarget(kEVTCORTargetHUB, kWifi);
  settle();
  EXPECT_EQ(standin_->requestsTo(kHubPath).size(), 1u);
  EXPECT_EQ(storedCount(kEVTCORTargetHUB), 1u);

  clock_.advance(59s);
  uploader_->uploadTarget(kEVTCORTargetHUB, kWifi);
  settle();
  EXPECT_EQ(standin_->requestsTo(kHubPath).size(), 1u);

  clock_.advance(2s);
  uploadAndWait(kEVTCORTargetHUB, kWifi);
  EXPECT_EQ(standin_->requestsTo(kHubPath).size(), 2u);
  EXPECT_EQ(storedCount(kEVTCORTargetHUB), 0u);
}

TEST_F(HubUploaderTest, AReplyWithoutAWaitTimeHoldsTheEndpointBackFifteenMinutes) {
  const struct {
    const char* name;
    std::string body;
  } cases[] = {{"empty", ""},
               {"no wait time", replyWithWait(std::nullopt)},
               {"garbage", std::string("\xff\xff\xff\xff", 4)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    standin_->clearLog();
    clock_.advance(1h);  // past any earlier wait
    standin_->replyTo(kLegacyPath, 503, c.body);
    store(kEVTCORTargetFLL, "payload");
    uploadAndWait(kEVTCORTargetFLL, kWifi);
    EXPECT_EQ(storedCount(kEVTCORTargetFLL), 1u);

    standin_->replyTo(kLegacyPath, 200, "");
    clock_.advance(14min + 59s);
    uploader_->uploadTarget(kEVTCORTargetFLL, kWifi);
    settle();
    EXPECT_EQ(standin_->requests().size(), 1u);

    clock_.advance(2s);
    uploadAndWait(kEVTCORTargetFLL, kWifi);
    EXPECT_EQ(standin_->requests().size(), 2u);
    EXPECT_EQ(storedCount(kEVTCORTargetFLL), 0u);
  }
}

TEST_F(HubUploaderTest, AGzippedReplyIsReadToo) {
  standin_->replyTo(kHubPath, ScriptedReply{200, {{"Content-Encoding", "gzip"}},
                                            gzipped(replyWithWait(3600000)), 0ms});
  store(kEVTCORTargetHUB, "payload");
  uploadAndWait(kEVTCORTargetHUB, kWifi);
  // Sixteen minutes on, the server's hour still holds (not the 15-minute
  // fallback of an unreadable reply).
  clock_.advance(16min);
  store(kEVTCORTargetHUB, "more");
  uploader_->uploadTarget(kEVTCORTargetHUB, kWifi);
  settle();
  EXPECT_EQ(standin_->requestsTo(kHubPath).size(), 1u);
}

TEST_F(HubUploaderTest, CSHIgnoresTheSharedWaitWhichHoldsFLLBack) {
  standin_->replyTo(kLegacyPath, 200, replyWithWait(24LL * 3600 * 1000));
  store(kEVTCORTargetCSH, "c1");
  uploadAndWait(kEVTCORTargetCSH, kWifi);
  EXPECT_TRUE(uploader_->FLLNextUploadTime().has_value());
  EXPECT_FALSE(uploader_->HUBNextUploadTime().has_value());

  store(kEVTCORTargetCSH, "c2");
  uploadAndWait(kEVTCORTargetCSH, kWifi);
  EXPECT_EQ(storedCount(kEVTCORTargetCSH), 0u);

  store(kEVTCORTargetFLL, "f1");
  uploader_->uploadTarget(kEVTCORTargetFLL, kWifi);
  settle();
  EXPECT_EQ(storedCount(kEVTCORTargetFLL), 1u);
  EXPECT_EQ(standin_->requests().size(), 2u);
  // HUB has its own slot.
  store(kEVTCORTargetHUB, "h1");
  uploadAndWait(kEVTCORTargetHUB, kWifi);
  EXPECT_EQ(storedCount(kEVTCORTargetHUB), 0u);
}

TEST_F(HubUploaderTest, AForcedUploadGoesAheadInsideTheWait) {
  standin_->replyTo(kHubPath, 200, replyWithWait(3600000));
  store(kEVTCORTargetHUB, "first");
  uploadAndWait(kEVTCORTargetHUB, kWifi);
  // Tier 2 is taken only by a forced run, which takes every event.
  store(kEVTCORTargetHUB, "fast", kEVTCORQoSFast);
  store(kEVTCORTargetHUB, "tier two", 2);
  uploadAndWait(kEVTCORTargetHUB, kForced);
  EXPECT_EQ(storedCount(kEVTCORTargetHUB), 0u);
  EXPECT_EQ(counts().back(), 2);
}

TEST_F(HubUploaderTest, NothingGoesOutWithoutANetworkOrWithoutSelectableEvents) {
  store(kEVTCORTargetHUB, "tier two", 2);
  uploader_->uploadTarget(kEVTCORTargetHUB, kEVTCORUploadConditionNoNetwork | kForced);
  settle();
  // Ready, but tier 2 is not selected on Wi-Fi: the run clears its flag.
  uploader_->uploadTarget(kEVTCORTargetHUB, kWifi);
  settle();
  // No network bit at all selects nothing either.
  uploader_->uploadTarget(kEVTCORTargetHUB, 0);
  settle();
  EXPECT_EQ(requestCount(), 0u);
  EXPECT_FALSE(uploader_->isCurrentlyUploading());
  EXPECT_EQ(storedCount(kEVTCORTargetHUB), 1u);
  EXPECT_EQ(batchedCount(), 0u);
  EXPECT_TRUE(counts().empty());
}

TEST_F(HubUploaderTest, OneBatchInFlightAcrossTargetsAndTerminateCancelsIt) {
  standin_->replyTo(kHubPath, ScriptedReply{200, {}, "", 20s});
  store(kEVTCORTargetHUB, "slow");
  store(kEVTCORTargetFLL, "waiting");
  uploader_->uploadTarget(kEVTCORTargetHUB, kWifi);
  ASSERT_TRUE(standin_->waitForRequest(kHubPath, 10s));
  EXPECT_TRUE(uploader_->isCurrentlyUploading());

  // A tick for FLL is refused and leaves HUB's flag alone.
  uploader_->uploadTarget(kEVTCORTargetFLL, kWifi);
  settle();
  EXPECT_TRUE(uploader_->isCurrentlyUploading());
  EXPECT_EQ(standin_->requestsTo(kLegacyPath).size(), 0u);
  EXPECT_EQ(storedCount(kEVTCORTargetFLL), 1u);

  uploader_->appWillTerminate(application_);
  ASSERT_TRUE(waitForUploads(1));
  settle();
  EXPECT_FALSE(uploader_->isCurrentlyUploading());
  EXPECT_EQ(storedCount(kEVTCORTargetHUB), 1u);  // back in storage
  EXPECT_EQ(batchedCount(), 0u);
}

TEST_F(HubUploaderTest, ALeftoverBatchIsDissolvedBeforeTheNextIsCut) {
  store(kEVTCORTargetHUB, "left behind");
  std::promise<void> cut;
  storage_->batchWithEventSelector(EVTCORStorageEventSelector::eventSelectorForTarget(
                                       kEVTCORTargetHUB),
                                   clock_.wallNow() + 600s,
                                   [&](auto, auto) { cut.set_value(); });
  ASSERT_EQ(cut.get_future().wait_for(10s), std::future_status::ready);
  ASSERT_EQ(batchedCount(), 1u);
  ASSERT_EQ(storedCount(kEVTCORTargetHUB), 0u);

  uploadAndWait(kEVTCORTargetHUB, kWifi);
  auto requests = standin_->requestsTo(kHubPath);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(requests[0].body.find("left behind"), std::string::npos);
  EXPECT_EQ(batchedCount(), 0u);
  EXPECT_EQ(storedCount(kEVTCORTargetHUB), 0u);
}

TEST_F(HubUploaderTest, ATestServerTakesEveryTargetWithItsOwnHeaders) {
  auto other = ServiceStandin::https();
  other->replyTo("/collect", 200, "");
  uploader_->setTestServerURL(other->url("/collect"));
  for (std::int64_t target : {kEVTCORTargetHUB, kEVTCORTargetFLL, kEVTCORTargetCSH}) {
    EXPECT_EQ(uploader_->serverURLForTarget(target), other->url("/collect"));
    store(target, "payload");
    uploadAndWait(target, kWifi);
  }
  auto requests = other->requestsTo("/collect");
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].header("User-Agent"), EVTHUBUserAgentForTarget(kEVTCORTargetHUB));
  EXPECT_FALSE(requests[0].header("X-Gryph-Api-Key").has_value());
  EXPECT_EQ(requests[1].header("User-Agent"), EVTHUBUserAgentForTarget(kEVTCORTargetFLL));
  EXPECT_EQ(requests[1].header("X-Gryph-Api-Key"), kApiKey);
  EXPECT_EQ(requests[2].header("User-Agent"), EVTHUBUserAgentForTarget(kEVTCORTargetCSH));
  EXPECT_EQ(requests[2].header("X-Gryph-Api-Key"), kApiKey);
  EXPECT_EQ(requestCount(), 0u);
}

TEST_F(HubUploaderTest, ARedirectToFLLGoesToHUBWithHUBHeaders) {
  const std::string fllURL = *uploader_->serverURLForTarget(kEVTCORTargetFLL);
  // CSH (on 127.0.0.1) moves to the FLL endpoint (on localhost).
  standin_->replyTo(kLegacyPath, ScriptedReply{301, {{"Location", fllURL}}, "", 0ms});
  store(kEVTCORTargetCSH, std::string(300, 'z'));
  uploadAndWait(kEVTCORTargetCSH, kWifi);

  auto csh = standin_->requestsTo(kLegacyPath);
  auto hub = standin_->requestsTo(kHubPath);
  ASSERT_EQ(csh.size(), 1u);
  ASSERT_EQ(hub.size(), 1u);
  EXPECT_EQ(hub[0].method, "POST");
  EXPECT_EQ(hub[0].body, csh[0].body);
  EXPECT_EQ(hub[0].header("User-Agent"), EVTHUBUserAgentForTarget(kEVTCORTargetHUB));
  EXPECT_FALSE(hub[0].header("X-Gryph-Api-Key").has_value());
  EXPECT_EQ(hub[0].header("Content-Encoding"), "gzip");
  EXPECT_EQ(storedCount(kEVTCORTargetCSH), 0u);
}

TEST_F(HubUploaderTest, OtherRedirectsAreAnsweredWithoutLosingTheBatch) {
  auto elsewhere = ServiceStandin::https();
  elsewhere->replyTo("/moved", 200, "");
  struct Case {
    int status;
    bool followed;
  };
  for (const Case c : {Case{301, false}, Case{302, false}, Case{307, true}, Case{308, true}}) {
    SCOPED_TRACE(c.status);
    elsewhere->clearLog();
    standin_->replyTo(kLegacyPath,
                      ScriptedReply{c.status, {{"Location", elsewhere->url("/moved")}}, "", 0ms});
    store(kEVTCORTargetCSH, "payload");
    uploadAndWait(kEVTCORTargetCSH, kWifi);
    auto moved = elsewhere->requestsTo("/moved");
    if (c.followed) {
      ASSERT_EQ(moved.size(), 1u);
      EXPECT_EQ(moved[0].method, "POST");
      EXPECT_NE(moved[0].body.find("payload"), std::string::npos);
      // The key stays with our own hosts.
      EXPECT_FALSE(moved[0].header("X-Gryph-Api-Key").has_value());
      EXPECT_EQ(storedCount(kEVTCORTargetCSH), 0u);
    } else {
      EXPECT_TRUE(moved.empty());
      EXPECT_EQ(storedCount(kEVTCORTargetCSH), 1u);
      standin_->replyTo(kLegacyPath, 200, "");
      uploadAndWait(kEVTCORTargetCSH, kWifi);
      ASSERT_EQ(storedCount(kEVTCORTargetCSH), 0u);
    }
  }
}

TEST_F(HubUploaderTest, ARedirectLoopEndsAndKeepsTheEvents) {
  const std::string self = standin_->url(kLegacyPath);
  standin_->replyTo(kLegacyPath, ScriptedReply{307, {{"Location", self}}, "", 0ms});
  store(kEVTCORTargetCSH, "payload");
  uploadAndWait(kEVTCORTargetCSH, kWifi);
  EXPECT_EQ(standin_->requestsTo(kLegacyPath).size(), std::size_t(kEVTHUBMaxRedirects) + 1);
  EXPECT_EQ(storedCount(kEVTCORTargetCSH), 1u);
}

TEST(HubUploaderSelectorTest, TiersFollowTheConditions) {
  struct Case {
    EVTCORUploadConditions conditions;
    std::optional<std::set<std::int64_t>> tiers;
  };
  const Case cases[] = {
      {kEVTCORUploadConditionWifiData, std::set<std::int64_t>{0, 1, 3, 4, 5}},
      {kEVTCORUploadConditionMobileData, std::set<std::int64_t>{3, 4}},
      {0, std::set<std::int64_t>{}},
      {kEVTCORUploadConditionMobileData | kEVTCORUploadConditionHighPriority, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.conditions);
    auto selector = EVTHUBUploader::eventSelectorTarget(kEVTCORTargetFLL, c.conditions);
    EXPECT_EQ(selector.selectedTarget(), kEVTCORTargetFLL);
    EXPECT_EQ(selector.selectedQosTiers(), c.tiers);
    EXPECT_FALSE(selector.selectedEventIDs().has_value());
    EXPECT_FALSE(selector.selectedMappingIDs().has_value());
  }
}

TEST_F(HubUploaderTest, RequestsNeedDataAndAKnownTarget) {
  EXPECT_FALSE(uploader_->constructRequestForTarget(kEVTCORTargetHUB, "").has_value());
  EXPECT_FALSE(uploader_->constructRequestForTarget(7, "data").has_value());
  EXPECT_FALSE(uploader_->serverURLForTarget(kEVTCORTargetStorageOnly).has_value());
  auto request = uploader_->constructRequestForTarget(kEVTCORTargetFLL, "data");
  ASSERT_TRUE(request.has_value());
  std::vector<std::string> names;
  for (const auto& [name, value] : request->headers) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"X-Gryph-Api-Key", "Content-Type", "Accept-Encoding",
                                             "User-Agent"}));
  EXPECT_EQ(EVTHUBUserAgentForTarget(5), "datatransport/7.0.0 unknownsupport/7.0.0 apple/");
}

TEST(HubUploaderEndpointsTest, CompiledInEndpointsAreHTTPS) {
  const EVTHUBEndpoints endpoints = EVTHUBEndpoints::compiledIn();
  EXPECT_FALSE(endpoints.hubHost.empty());
  EXPECT_TRUE(endpoints.apiKey.empty() || endpoints.apiKey.size() == 39);
  EXPECT_EQ(EVTHUBEndpointURL(endpoints.hubHost, kEVTHUBPathHUB),
            "https://" + endpoints.hubHost + "/v0hb/log/batch");
}

}  // namespace
}  // namespace vandrel::analytics

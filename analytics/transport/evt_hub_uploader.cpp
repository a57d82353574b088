#include "analytics/transport/evt_hub_uploader.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "analytics/transport/evt_application.h"
#include "analytics/transport/evt_batch_encoder.h"
#include "analytics/transport/evt_log.h"
#include "analytics/transport/evt_registrar.h"
#include "platform/sync.h"

#ifndef VANDREL_TRANSPORT_HUB_HOST
#define VANDREL_TRANSPORT_HUB_HOST "hub.transport.invalid"
#endif
#ifndef VANDREL_TRANSPORT_FLL_HOST
#define VANDREL_TRANSPORT_FLL_HOST "fll.transport.invalid"
#endif
#ifndef VANDREL_TRANSPORT_CSH_HOST
#define VANDREL_TRANSPORT_CSH_HOST "csh.transport.invalid"
#endif
#ifndef VANDREL_TRANSPORT_API_KEY
#define VANDREL_TRANSPORT_API_KEY ""
#endif

namespace vandrel::analytics {
namespace {

using platform::HttpRequest;
using platform::HttpResponse;

// A server's wait time is honoured up to this long; larger values would
// overflow the clock arithmetic and could silence an endpoint for good.
constexpr std::int64_t kMaxWaitMillis = std::int64_t{30} * 24 * 60 * 60 * 1000;

bool isRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string schemeOf(std::string_view url) {
  auto pos = url.find("://");
  return pos == std::string_view::npos ? std::string() : std::string(url.substr(0, pos));
}

std::string hostOf(std::string_view url) {
  auto pos = url.find("://");
  if (pos == std::string_view::npos) return {};
  auto rest = url.substr(pos + 3);
  return std::string(rest.substr(0, rest.find_first_of("/?#")));
}

// A Location header resolved against the URL it came from.
std::string resolveLocation(std::string_view base, std::string_view location) {
  if (location.find("://") != std::string_view::npos) return std::string(location);
  const std::string scheme = schemeOf(base);
  if (location.starts_with("//")) return scheme + ":" + std::string(location);
  const std::string origin = scheme + "://" + hostOf(base);
  if (location.starts_with("/")) return origin + std::string(location);
  std::string path(base.substr(origin.size()));
  path = path.substr(0, path.find_first_of("?#"));
  auto slash = path.rfind('/');
  path = slash == std::string::npos ? "/" : path.substr(0, slash + 1);
  return origin + path + std::string(location);
}

// Replies may come gzip-encoded (the request accepts it) and the engine
// hands bodies over as received.
std::optional<std::string> gunzip(std::string_view data) {
  z_stream stream{};
  if (inflateInit2(&stream, 31) != Z_OK) return std::nullopt;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  std::string out;
  char chunk[4096];
  int rc = Z_OK;
  while (rc == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(chunk);
    stream.avail_out = sizeof(chunk);
    rc = inflate(&stream, Z_NO_FLUSH);
    out.append(chunk, sizeof(chunk) - stream.avail_out);
    if (out.size() > kEVTHUBMaxReplyBytes) rc = Z_DATA_ERROR;
    if (rc == Z_OK && stream.avail_in == 0 && stream.avail_out != 0) rc = Z_BUF_ERROR;
  }
  inflateEnd(&stream);
  if (rc != Z_STREAM_END) return std::nullopt;
  return out;
}

std::string describe(const HttpRequest& request) {
  return "<" + request.method + " " + request.url + ", " + std::to_string(request.body.data.size()) +
         " bytes>";
}

}  // namespace

EVTHUBEndpoints EVTHUBEndpoints::compiledIn() {
  return EVTHUBEndpoints{VANDREL_TRANSPORT_HUB_HOST, VANDREL_TRANSPORT_FLL_HOST,
                         VANDREL_TRANSPORT_CSH_HOST, VANDREL_TRANSPORT_API_KEY};
}

std::string EVTHUBEndpointURL(std::string_view host, std::string_view path) {
  return "https://" + std::string(host) + std::string(path);
}

std::string EVTHUBUserAgentForTarget(std::int64_t target) {
  std::string_view name = EVTCORTargetName(target);
  if (name.empty()) name = "unknown";
  return "datatransport/" + std::string(kEVTHUBTransportVersion) + " " + std::string(name) +
         "support/" + std::string(kEVTHUBTransportVersion) + " apple/";
}

struct EVTHUBUploader::State : std::enable_shared_from_this<EVTHUBUploader::State> {
  using BackgroundTaskID = std::int64_t;
  // (batch ID, events, whether this run set isCurrentlyUploading).
  using BatchReady = std::function<void(std::optional<std::int64_t>,
                                        std::optional<std::vector<EVTCOREvent>>, bool)>;

  State(EVTCORRegistrar& registrar, EVTCORApplication& application,
        platform::NotificationCenter& center, EVTHUBEndpoints endpoints,
        platform::HttpSessionConfig sessionConfig, const platform::Clock& clock)
      : registrar(registrar),
        application(application),
        center(center),
        clock(clock),
        apiKey(endpoints.apiKey),
        hubURL(EVTHUBEndpointURL(endpoints.hubHost, kEVTHUBPathHUB)),
        fllURL(EVTHUBEndpointURL(endpoints.fllHost, kEVTHUBPathFLLAndCSH)),
        cshURL(EVTHUBEndpointURL(endpoints.cshHost, kEVTHUBPathFLLAndCSH)),
        queue(std::make_shared<platform::SerialQueue>(std::string(kEVTHUBUploaderQueueLabel))),
        sessionConfig(std::move(sessionConfig)) {}

  EVTCORRegistrar& registrar;
  EVTCORApplication& application;
  platform::NotificationCenter& center;
  const platform::Clock& clock;
  const std::string apiKey;
  const std::string hubURL;
  const std::string fllURL;
  const std::string cshURL;
  std::shared_ptr<platform::SerialQueue> queue;
  // The session (and with it the HTTP engine, its thread and the TLS
  // library's set-up) is made for the first upload, not while the program
  // loads: the uploader is registered before main() runs and most runs
  // upload nothing. Used on `queue` only.
  platform::HttpSessionConfig sessionConfig;
  std::unique_ptr<platform::HttpSession> session;

  mutable platform::Mutex urlMutex;
  std::optional<std::string> testServerURL VANDREL_GUARDED_BY(urlMutex);

  // Queue only.
  platform::HttpTask currentTask;
  std::optional<EVTCORClock> hubNextUploadTime;
  std::optional<EVTCORClock> fllNextUploadTime;
  bool isCurrentlyUploading = false;
  std::int64_t weekday = 0;

  std::optional<std::string> serverURLForTarget(std::int64_t target) const {
    {
      platform::MutexLock lock(urlMutex);
      if (testServerURL) return testServerURL;
    }
    switch (target) {
      case kEVTCORTargetHUB: return hubURL;
      case kEVTCORTargetFLL: return fllURL;
      case kEVTCORTargetCSH: return cshURL;
      default:
        EVTCORLogDebug("EVTHUBUploader doesn't support target %ld", static_cast<long>(target));
        return std::nullopt;
    }
  }

  std::optional<HttpRequest> constructRequestForTarget(std::int64_t target,
                                                       std::string_view data) const {
    if (data.empty()) {
      EVTCORLogDebug("There was no data to construct a request for target %ld.",
                     static_cast<long>(target));
      return std::nullopt;
    }
    auto url = serverURLForTarget(target);
    if (!url) return std::nullopt;
    HttpRequest request;
    request.url = std::move(*url);
    if ((target == kEVTCORTargetFLL || target == kEVTCORTargetCSH) && !apiKey.empty()) {
      request.headers.add(std::string(kEVTHUBAPIKeyHeader), apiKey);
    }
    if (EVTHUBCompressionHelper::isGzipped(data)) request.headers.add("Content-Encoding", "gzip");
    request.headers.add("Content-Type", "application/x-protobuf");
    request.headers.add("Accept-Encoding", "gzip");
    request.headers.add("User-Agent", EVTHUBUserAgentForTarget(target));
    request.method = "POST";
    request.body = platform::HttpBody::bytes(std::string(data));
    // Redirects are answered here, hop by hop (see sendHop).
    request.redirects = platform::RedirectPolicy::DontFollow;
    return request;
  }

  bool readyToUploadTarget(std::int64_t target, EVTCORUploadConditions conditions) {
    queue->assertCurrent("EVTHUBUploader::readyToUploadTarget");
    if (isCurrentlyUploading) {
      EVTCORLogDebug(
          "HUB: Wait until previous upload finishes. The current version supports only a single "
          "batch uploading at the time.");
      return false;
    }
    if (conditions & kEVTCORUploadConditionNoNetwork) {
      EVTCORLogDebug("HUB: Not ready to upload without a network connection.");
      return false;
    }
    if (target == kEVTCORTargetCSH) {
      EVTCORLogDebug("HUB: kEVTCORTargetCSH events are allowed to be uploaded straight away.");
      return true;
    }
    if (conditions & kEVTCORUploadConditionHighPriority) {
      EVTCORLogDebug("HUB: a high priority event is allowing an upload");
      return true;
    }
    const std::optional<EVTCORClock>* slot = nullptr;
    if (target == kEVTCORTargetHUB && hubNextUploadTime) slot = &hubNextUploadTime;
    if (target == kEVTCORTargetFLL && fllNextUploadTime) slot = &fllNextUploadTime;
    if (slot && !EVTCORClock::snapshot(clock).isAfter(**slot)) {
      EVTCORLogDebug("HUB: can't upload to target %ld because the backend asked to wait",
                     static_cast<long>(target));
      return false;
    }
    EVTCORLogDebug("HUB: can upload to target %ld because the request wait time has transpired",
                   static_cast<long>(target));
    return true;
  }

  BackgroundTaskID beginTask() {
    std::weak_ptr<State> weak = weak_from_this();
    auto holder = std::make_shared<std::atomic<BackgroundTaskID>>(0);
    BackgroundTaskID id =
        application.beginBackgroundTaskWithName("EVTHUBUploader-upload", [weak, holder] {
          auto self = weak.lock();
          if (!self) return;
          BackgroundTaskID task = holder->load();
          if (task == EVTCORApplication::kInvalidBackgroundTask) return;
          self->queue->async([self] { self->currentTask.cancel(); });
          self->application.endBackgroundTask(task);
        });
    holder->store(id);
    return id;
  }

  void uploadTarget(std::int64_t target, EVTCORUploadConditions conditions) {
    const BackgroundTaskID task = beginTask();
    queue->async([self = shared_from_this(), target, conditions, task] {
      auto storages = self->registrar.targetToStorage();
      auto found = storages.find(target);
      if (found == storages.end() || !found->second) {
        EVTCORLogDebug("HUB: no storage is registered for target %ld", static_cast<long>(target));
        self->application.endBackgroundTask(task);
        return;
      }
      std::shared_ptr<EVTCORStorageProtocol> storage = found->second;
      self->batchToUploadForTarget(
          target, storage, conditions,
          [self, target, storage, task](std::optional<std::int64_t> batchID,
                                        std::optional<std::vector<EVTCOREvent>> events,
                                        bool setFlag) {
            // Runs on the uploader queue.
            if (batchID && events && !events->empty()) {
              self->uploadBatch(*batchID, std::move(*events), target, storage, task);
              return;
            }
            if (setFlag) {
              EVTCORLogDebug("Target %ld reported as ready for upload, but no events were selected",
                             static_cast<long>(target));
              self->isCurrentlyUploading = false;
            }
            self->application.endBackgroundTask(task);
          });
    });
  }

  // Queue only. `done` runs on the queue.
  void batchToUploadForTarget(std::int64_t target, std::shared_ptr<EVTCORStorageProtocol> storage,
                              EVTCORUploadConditions conditions, BatchReady done) {
    if (!readyToUploadTarget(target, conditions)) {
      done(std::nullopt, std::nullopt, false);
      return;
    }
    auto self = shared_from_this();
    removeBatchesForTarget(target, storage, [self, target, storage, conditions, done] {
      storage->hasEventsForTarget(target, [self, target, storage, conditions, done](bool has) {
        self->queue->async([self, target, storage, conditions, done, has] {
          if (!has || !self->readyToUploadTarget(target, conditions)) {
            done(std::nullopt, std::nullopt, false);
            return;
          }
          self->isCurrentlyUploading = true;
          EVTCORStorageEventSelector selector =
              EVTHUBUploader::eventSelectorTarget(target, conditions);
          if (!(conditions & kEVTCORUploadConditionHighPriority)) {
            self->touchDailyKey(target, *storage);
          }
          const platform::WallTime expiration =
              self->clock.wallNow() + std::chrono::seconds(kEVTHUBBatchExpirationSeconds);
          storage->batchWithEventSelector(
              std::move(selector), expiration,
              [self, done](std::optional<std::int64_t> batchID,
                           std::optional<std::vector<EVTCOREvent>> events) {
                self->queue->async([done, batchID, events = std::move(events)]() mutable {
                  done(batchID, std::move(events), true);
                });
              });
        });
      });
    });
  }

  // Dissolves every batch the storage still holds for `target` (events back
  // to storage); `then` runs on the queue once all removals have completed.
  void removeBatchesForTarget(std::int64_t target,
                              const std::shared_ptr<EVTCORStorageProtocol>& storage,
                              std::function<void()> then) {
    auto self = shared_from_this();
    storage->batchIDsForTarget(target, [self, storage, then](
                                           std::optional<std::set<std::int64_t>> ids) {
      if (!ids || ids->empty()) {
        self->queue->async(then);
        return;
      }
      auto left = std::make_shared<std::atomic<std::size_t>>(ids->size());
      for (std::int64_t id : *ids) {
        storage->removeBatchWithID(id, false, [self, left, then] {
          if (left->fetch_sub(1) == 1) self->queue->async(then);
        });
      }
    });
  }

  // The daily key is kept as it was read; nothing decides on it.
  void touchDailyKey(std::int64_t target, EVTCORStorageProtocol& storage) {
    const std::string key = "EVTHUBUploaderLastDailyUpload-" + std::to_string(target);
    auto read = std::make_shared<std::optional<std::string>>();
    const std::int64_t day = weekday;
    storage.libraryDataForKey(
        key, [read](std::optional<std::string> data, std::optional<platform::Error>) {
          *read = std::move(data);
        },
        [read, day]() -> std::optional<std::string> {
          if (!*read || (*read)->size() != sizeof(std::int64_t)) return std::nullopt;
          std::int64_t value = 0;
          std::copy_n((*read)->data(), sizeof(value), reinterpret_cast<char*>(&value));
          if (value == day) return std::nullopt;
          return *read;
        });
  }

  void uploadBatch(std::int64_t batchID, std::vector<EVTCOREvent> events, std::int64_t target,
                   std::shared_ptr<EVTCORStorageProtocol> storage, BackgroundTaskID task) {
    const std::size_t count = events.size();
    auto self = shared_from_this();
    sendURLRequestForBatch(events, target, [self, batchID, target, storage, task,
                                            count](HttpResponse response) {
      self->handleURLResponse(response, target, *storage, batchID);
      platform::Value::Dictionary info;
      info[std::string(kEVTHUBUploadCompleteEventCountKey)] = static_cast<std::int64_t>(count);
      self->center.post(std::string(kEVTHUBUploadCompleteNotification), nullptr, std::move(info));
      self->isCurrentlyUploading = false;
      self->application.endBackgroundTask(task);
    });
  }

  // Queue only; `completion` runs on the queue, exactly once.
  void sendURLRequestForBatch(const std::vector<EVTCOREvent>& events, std::int64_t target,
                              std::function<void(HttpResponse)> completion) {
    const std::string proto = protoFor(events);
    std::optional<std::string> gz = EVTHUBCompressionHelper::gzippedData(proto);
    const std::string& body = (gz && gz->size() < proto.size()) ? *gz : proto;
    std::optional<HttpRequest> request = constructRequestForTarget(target, body);
    if (!request) {
      // Nothing to send (no body or no endpoint): the batch goes back.
      HttpResponse failed;
      failed.error = platform::makeUrlError(platform::UrlError::BadUrl);
      completion(std::move(failed));
      return;
    }
    EVTCORLogDebug("CTT: request containing %lu events created: %s",
                   static_cast<unsigned long>(events.size()), describe(*request).c_str());
    const std::string initialBody = request->body.data;
    sendHop(std::move(*request), initialBody, 0, std::move(completion));
    EVTCORLogDebug("HUB: The upload task is about to begin.");
  }

  // One hop of an upload. A 3xx reply is answered here: a 301 or 302 to the
  // FLL endpoint resends the body to the HUB endpoint with HUB headers;
  // other 301/302 targets are refused (the 3xx is the answer); 303, 307
  // and 308 go ahead with the request a redirect proposes.
  void sendHop(HttpRequest request, std::string initialBody, int hops,
               std::function<void(HttpResponse)> completion) {
    const HttpRequest sent = request;
    auto self = shared_from_this();
    if (!session) session = std::make_unique<platform::HttpSession>(sessionConfig);
    currentTask = session->send(
        std::move(request), *queue,
        [self, sent, initialBody, hops, completion](HttpResponse response) {
          if (response.error || !isRedirect(response.status)) {
            completion(std::move(response));
            return;
          }
          auto location = response.headers.value("Location");
          if (!location || location->empty()) {
            completion(std::move(response));
            return;
          }
          if (hops >= kEVTHUBMaxRedirects) {
            HttpResponse failed;
            failed.url = response.url;
            failed.error = platform::makeUrlError(platform::UrlError::TooManyRedirects);
            completion(std::move(failed));
            return;
          }
          const std::string target = resolveLocation(sent.url, *location);
          std::optional<HttpRequest> next;
          if (response.status == 301 || response.status == 302) {
            if (target == self->serverURLForTarget(kEVTCORTargetFLL)) {
              next = self->constructRequestForTarget(kEVTCORTargetHUB, initialBody);
            } else {
              EVTCORLogDebug("HUB: a redirect to %s was not followed", target.c_str());
            }
          } else {
            next = sent;
            next->url = target;
            if (response.status == 303) {
              next->method = "GET";
              next->body = platform::HttpBody::none();
              next->headers.remove("Content-Type");
              next->headers.remove("Content-Encoding");
            }
            if (hostOf(target) != hostOf(sent.url)) {
              // The key is meant for our endpoints only.
              next->headers.remove(kEVTHUBAPIKeyHeader);
            }
          }
          if (!next) {
            completion(std::move(response));
            return;
          }
          self->sendHop(std::move(*next), initialBody, hops + 1, completion);
        });
  }

  void handleURLResponse(const HttpResponse& response, std::int64_t target,
                         EVTCORStorageProtocol& storage, std::int64_t batchID) {
    EVTCORLogDebug("HUB: request completed");
    if (response.error) {
      EVTCORConsoleLogf(kEVTCORMCUploadFailed, EVTCORLoggerLevel::Warning,
                        "There was an error uploading events: %s",
                        response.error->message.c_str());
    }
    std::optional<EVTCORClock> next;
    if (!response.body.empty()) {
      std::string body = response.body;
      const auto encoding = response.headers.value("Content-Encoding");
      if ((encoding && platform::equalsIgnoringCase(*encoding, "gzip")) ||
          EVTHUBCompressionHelper::isGzipped(body)) {
        if (auto inflated = gunzip(body)) body = std::move(*inflated);
      }
      auto reply = EVTHUBDecodeUploadReply(body);
      if (!reply.ok()) {
        EVTCORLogDebug("There was a response decoding error: %s", reply.error().message.c_str());
      } else if (reply.value().nextRequestWaitMillis) {
        const std::int64_t wait = *reply.value().nextRequestWaitMillis;
        EVTCORLogDebug(
            "HUB: The backend responded asking to not upload for %lld millis from now.",
            static_cast<long long>(wait));
        next = EVTCORClock::clockSnapshotInTheFuture(std::clamp<std::int64_t>(wait, 0, kMaxWaitMillis),
                                                     clock);
      }
    }
    if (!next) {
      EVTCORLogDebug(
          "HUB: The backend response failed to parse, so the next request won't occur until 15 "
          "minutes from now");
      next = EVTCORClock::clockSnapshotInTheFuture(kEVTHUBDefaultWaitMillis, clock);
    }
    if (target == kEVTCORTargetHUB) {
      hubNextUploadTime = next;
    } else {
      fllNextUploadTime = next;
    }
    // A redirect that was not followed delivered nothing either.
    const bool delivered = !response.error && response.status != 429 && response.status != 503 &&
                           !isRedirect(response.status);
    if (delivered) EVTCORLogDebug("HUB: package delivered");
    storage.removeBatchWithID(batchID, delivered, nullptr);
    currentTask = platform::HttpTask();
  }

  std::string protoFor(std::span<const EVTCOREvent> events) const {
    const platform::Clock* c = &clock;
    return analytics::constructRequestProtoWithEvents(
        events, [c] { return EVTCORClock::snapshot(*c); });
  }
};

void EVTHUBUploader::load() {
  static std::once_flag once;
  std::call_once(once, [] {
    auto& registrar = EVTCORRegistrar::sharedInstance();
    for (const std::int64_t target : {kEVTCORTargetHUB, kEVTCORTargetFLL, kEVTCORTargetCSH}) {
      registrar.registerUploader(sharedInstance(), target);
    }
  });
}

const std::shared_ptr<EVTHUBUploader>& EVTHUBUploader::sharedInstance() {
  static auto* instance = new std::shared_ptr<EVTHUBUploader>(std::make_shared<EVTHUBUploader>(
      EVTCORRegistrar::sharedInstance(), EVTCORApplication::sharedApplication(),
      platform::NotificationCenter::shared(), EVTHUBEndpoints::compiledIn()));
  return *instance;
}

EVTHUBUploader::EVTHUBUploader(EVTCORRegistrar& registrar, EVTCORApplication& application,
                               platform::NotificationCenter& center, EVTHUBEndpoints endpoints,
                               platform::HttpSessionConfig sessionConfig,
                               const platform::Clock& clock)
    : state_(std::make_shared<State>(registrar, application, center, std::move(endpoints),
                                     std::move(sessionConfig), clock)) {}

EVTHUBUploader::~EVTHUBUploader() {
  state_->queue->sync([state = state_] { state->currentTask.cancel(); });
}

void EVTHUBUploader::uploadTarget(std::int64_t target, EVTCORUploadConditions conditions) {
  state_->uploadTarget(target, conditions);
}

bool EVTHUBUploader::readyToUploadTarget(std::int64_t target, EVTCORUploadConditions conditions) {
  return state_->readyToUploadTarget(target, conditions);
}

EVTCORStorageEventSelector EVTHUBUploader::eventSelectorTarget(std::int64_t target,
                                                               EVTCORUploadConditions conditions) {
  if (conditions & kEVTCORUploadConditionHighPriority) {
    return EVTCORStorageEventSelector::eventSelectorForTarget(target);
  }
  std::set<std::int64_t> tiers;
  if (conditions & kEVTCORUploadConditionWifiData) tiers.insert({4, 5, 3, 1, 0});
  if (conditions & kEVTCORUploadConditionMobileData) tiers.insert({4, 3});
  return EVTCORStorageEventSelector(target, std::nullopt, std::nullopt, std::move(tiers));
}

std::optional<std::string> EVTHUBUploader::serverURLForTarget(std::int64_t target) const {
  return state_->serverURLForTarget(target);
}

std::optional<platform::HttpRequest> EVTHUBUploader::constructRequestForTarget(
    std::int64_t target, std::string_view data) const {
  return state_->constructRequestForTarget(target, data);
}

std::string EVTHUBUploader::constructRequestProtoWithEvents(
    std::span<const EVTCOREvent> events) const {
  return state_->protoFor(events);
}

void EVTHUBUploader::setTestServerURL(std::optional<std::string> url) {
  platform::MutexLock lock(state_->urlMutex);
  state_->testServerURL = std::move(url);
}

void EVTHUBUploader::appWillForeground(EVTCORApplication& /*application*/) {
  // The weekday of the date made from empty Gregorian date components, i.e.
  // 0001-01-01, a Monday: 2 with Sunday as 1.
  state_->queue->async([state = state_] { state->weekday = 2; });
}

void EVTHUBUploader::appWillTerminate(EVTCORApplication& /*application*/) {
  state_->queue->sync([state = state_] { state->currentTask.cancel(); });
}

bool EVTHUBUploader::isCurrentlyUploading() {
  bool value = false;
  state_->queue->sync([&] { value = state_->isCurrentlyUploading; });
  return value;
}

std::optional<EVTCORClock> EVTHUBUploader::HUBNextUploadTime() {
  std::optional<EVTCORClock> value;
  state_->queue->sync([&] { value = state_->hubNextUploadTime; });
  return value;
}

std::optional<EVTCORClock> EVTHUBUploader::FLLNextUploadTime() {
  std::optional<EVTCORClock> value;
  state_->queue->sync([&] { value = state_->fllNextUploadTime; });
  return value;
}

platform::SerialQueue& EVTHUBUploader::uploaderQueue() { return *state_->queue; }

}  // namespace vandrel::analytics

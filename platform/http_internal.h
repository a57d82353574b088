#pragma once

// Pieces shared by the engine's .cpp files. Like every header outside the
// application it stays free of curl and OpenSSL: handles are opaque here.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/http.h"
#include "platform/sync.h"

typedef void CURL;  // as curl.h declares it

namespace vandrel::platform {

// The immutable part of a session: what every transfer of it reads.
struct SessionSettings {
  std::uint64_t id = 0;
  Duration idleTimeout{};
  std::optional<Duration> totalTimeout;
  std::uint64_t maxBodyBytes = kDefaultMaxBodyBytes;
  TrustPolicy defaultTrust = TrustPolicy::systemDefault();
  std::unordered_map<std::string, TrustPolicy> hostTrust;  // lower-case host names

  const TrustPolicy& trustFor(const std::string& lowerHost) const;
};

struct HttpTask::State {
  std::uint64_t id = 0;
  std::string url;
  std::weak_ptr<HttpSession::State> session;
  std::weak_ptr<HttpEngine::Impl> engine;

  Mutex mutex;
  bool settled VANDREL_GUARDED_BY(mutex) = false;
  HttpCompletion completion VANDREL_GUARDED_BY(mutex);
  std::function<void(Job)> post VANDREL_GUARDED_BY(mutex);

  // The one place a task completes: the first call wins and posts the
  // completion; later calls return false and drop their response.
  bool settle(HttpResponse response);
  bool isSettled();
};

struct HttpSession::State {
  std::shared_ptr<const SessionSettings> settings;
  std::shared_ptr<HttpEngine::Impl> engine;

  Mutex mutex;
  std::unordered_map<std::uint64_t, std::shared_ptr<HttpTask::State>> live VANDREL_GUARDED_BY(mutex);

  void forget(std::uint64_t taskId);
};

HttpResponse cancelledResponse(const std::string& url);
HttpResponse errorResponse(const std::string& url, UrlError code);

// Sets the easy handle's certificate checks for `policy`. `sessionId` goes
// into what curl compares before reusing a connection, so a connection (or
// TLS session) checked under one session's policy never serves another.
// Returns false when curl refuses the settings.
bool applyTrust(CURL* easy, const TrustPolicy& policy, std::uint64_t sessionId);

// One request on its way through the engine; lives on the engine thread.
class Transfer {
 public:
  Transfer(std::shared_ptr<HttpTask::State> task, std::shared_ptr<const SessionSettings> settings,
           HttpRequest request);
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Configures the easy handle for the current hop. An error means the
  // task is to complete with it.
  std::optional<UrlError> prepare();
  CURL* easy() const { return easy_; }
  // Easy handles are reused: a clean one (fresh or reset) may be handed in
  // before the first hop, and taken back, reset, once the task is over.
  void adoptEasy(CURL* easy);
  CURL* releaseEasy();

  // After curl ended the hop with `curlCode`: true when the transfer goes
  // on to a redirect target (prepare again), false when the response is
  // final (or an error).
  bool finishHop(int curlCode);
  HttpResponse takeResponse();

  // When the idle or the total time-out runs out at the current pace.
  TimePoint deadline() const;
  HttpTask::State& task() const { return *task_; }
  std::uint64_t id() const { return task_->id; }

  // Called from curl callbacks.
  void noteActivity() { lastActivity_ = std::chrono::steady_clock::now(); }
  void onProgress(std::int64_t downloaded, std::int64_t uploaded);
  // Both return false to stop the hop: the reply's body is over the cap.
  bool onHeaderLine(std::string_view line);
  bool onBody(const char* data, std::size_t size);
  std::size_t readBody(char* buffer, std::size_t size);

 private:
  void releaseHopResources();
  bool setMethodAndBody();
  bool followRedirect(int status);
  bool announcesBody() const;

  std::shared_ptr<HttpTask::State> task_;
  std::shared_ptr<const SessionSettings> settings_;
  HttpRequest request_;
  HttpResponse response_;
  CURL* easy_ = nullptr;
  bool easyIsClean_ = false;
  void* headerList_ = nullptr;  // curl_slist*
  void* mime_ = nullptr;        // curl_mime*
  int file_ = -1;
  char errorBuffer_[256] = {};
  int redirectsLeft_ = 16;
  std::uint64_t maxBody_ = 0;
  int replyStatus_ = 0;       // of the reply whose header lines are arriving
  bool bodyTooLarge_ = false;  // this hop was stopped at the body cap
  Duration idle_{};
  std::optional<TimePoint> totalDeadline_;
  TimePoint lastActivity_;
  std::int64_t seenDown_ = 0;
  std::int64_t seenUp_ = 0;
};

}  // namespace vandrel::platform

// The engine thread (one curl multi handle for the process), sessions and
// tasks. Completion is decided in exactly one place, HttpTask::State::settle,
// so a response and a cancellation can race without a second delivery.

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <climits>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/http.h"
#include "platform/http_curl.h"
#include "platform/http_internal.h"

namespace vandrel::platform {

struct HttpEngine::Impl {
  Impl();
  ~Impl();

  // Hands a transfer to the engine thread; false once the engine stopped.
  bool submit(std::unique_ptr<Transfer> transfer);
  void cancel(std::uint64_t taskId);
  void stop();

  std::atomic<std::uint64_t> nextId{1};

 private:
  void run();
  void begin(std::unique_ptr<Transfer> transfer);
  void start(std::unique_ptr<Transfer> transfer);
  void drop(std::uint64_t taskId);
  void collectFinished();
  void expire();
  int nextWaitMs() const;
  void cancelEverything(std::vector<std::unique_ptr<Transfer>> pending);
  // Removes a finished or abandoned transfer from curl and keeps its easy
  // handle for the next one.
  void retire(std::unique_ptr<Transfer> transfer);

  // Wakes the engine thread, once it has a multi handle to poll; before
  // that it has not looked at the queues yet.
  void wake();

  // Made on the engine thread as it starts (the first use of curl opens
  // the library, tens of milliseconds of loading): asking for the engine
  // never waits for that, wherever it is asked. Set once; read on any
  // thread for the wake-up, used on the engine thread otherwise.
  std::atomic<CURLM*> multi_{nullptr};
  std::thread thread_;
  Mutex mutex_;
  std::vector<std::unique_ptr<Transfer>> incoming_ VANDREL_GUARDED_BY(mutex_);
  std::vector<std::uint64_t> cancels_ VANDREL_GUARDED_BY(mutex_);
  bool stopping_ VANDREL_GUARDED_BY(mutex_) = false;
  bool stopped_ VANDREL_GUARDED_BY(mutex_) = false;
  // Engine thread only.
  std::unordered_map<std::uint64_t, std::unique_ptr<Transfer>> active_;
  std::vector<CURL*> spareEasy_;
};

// ---- Responses and tasks ---------------------------------------------------

HttpResponse errorResponse(const std::string& url, UrlError code) {
  HttpResponse response;
  response.url = url;
  response.error = makeUrlError(code);
  return response;
}

HttpResponse cancelledResponse(const std::string& url) {
  return errorResponse(url, UrlError::Cancelled);
}

bool HttpTask::State::settle(HttpResponse response) {
  HttpCompletion done;
  std::function<void(Job)> deliver;
  {
    MutexLock lock(mutex);
    if (settled) return false;
    settled = true;
    done = std::move(completion);
    deliver = std::move(post);
  }
  if (auto s = session.lock()) s->forget(id);
  auto shared = std::make_shared<HttpResponse>(std::move(response));
  deliver([done = std::move(done), shared] { done(std::move(*shared)); });
  return true;
}

bool HttpTask::State::isSettled() {
  MutexLock lock(mutex);
  return settled;
}

void HttpTask::cancel() const {
  if (!state_) return;
  if (state_->settle(cancelledResponse(state_->url))) {
    if (auto engine = state_->engine.lock()) engine->cancel(state_->id);
  }
}

std::uint64_t HttpTask::id() const { return state_ ? state_->id : 0; }

// ---- Sessions --------------------------------------------------------------

void HttpSession::State::forget(std::uint64_t taskId) {
  MutexLock lock(mutex);
  live.erase(taskId);
}

HttpSession::HttpSession(HttpSessionConfig config, HttpEngine& engine)
    : state_(std::make_shared<State>()) {
  auto settings = std::make_shared<SessionSettings>();
  settings->id = engine.impl()->nextId.fetch_add(1);
  settings->idleTimeout = config.idleTimeout;
  settings->totalTimeout = config.totalTimeout;
  settings->maxBodyBytes = config.maxBodyBytes;
  settings->defaultTrust = std::move(config.defaultTrust);
  for (auto& [host, policy] : config.hostTrust) {
    std::string key = host;
    std::transform(key.begin(), key.end(), key.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; });
    settings->hostTrust.insert_or_assign(std::move(key), policy);
  }
  state_->settings = std::move(settings);
  state_->engine = engine.impl();
}

HttpSession::~HttpSession() { cancelAll(); }

HttpTask HttpSession::send(HttpRequest request, Queue& queue, HttpCompletion completion) {
  VANDREL_CHECK(completion != nullptr, "HttpSession::send needs a completion");
  auto task = std::make_shared<HttpTask::State>();
  task->id = state_->engine->nextId.fetch_add(1);
  task->url = request.url;
  task->session = state_;
  task->engine = state_->engine;
  {
    MutexLock lock(task->mutex);
    task->completion = std::move(completion);
    task->post = queue.poster();
  }
  {
    MutexLock lock(state_->mutex);
    state_->live.emplace(task->id, task);
  }
  auto transfer = std::make_unique<Transfer>(task, state_->settings, std::move(request));
  if (!state_->engine->submit(std::move(transfer))) task->settle(cancelledResponse(task->url));
  return HttpTask(task);
}

void HttpSession::cancelAll() {
  std::vector<std::shared_ptr<HttpTask::State>> tasks;
  {
    MutexLock lock(state_->mutex);
    for (auto& [id, task] : state_->live) tasks.push_back(task);
  }
  for (auto& task : tasks) HttpTask(task).cancel();
}

std::size_t HttpSession::inFlightCount() const {
  MutexLock lock(state_->mutex);
  return state_->live.size();
}

// ---- Engine ----------------------------------------------------------------

HttpEngine& HttpEngine::shared() {
  static auto* engine = new HttpEngine;
  return *engine;
}

HttpEngine::HttpEngine() : impl_(std::make_shared<Impl>()) {}

HttpEngine::~HttpEngine() { impl_->stop(); }

namespace {

// The process-wide set-up, then a multi handle.
CURLM* initMulti() {
  static std::once_flag once;
  std::call_once(once, [] {
    curl::api().global_init(CURL_GLOBAL_DEFAULT);
    // A peer closing a socket mid-write must not kill the process.
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      signal(SIGPIPE, SIG_IGN);
    }
  });
  return curl::api().multi_init();
}

}  // namespace

HttpEngine::Impl::Impl() {
  thread_ = std::thread([this] { run(); });
  pthread_setname_np(thread_.native_handle(), "vandrel-http");
}

HttpEngine::Impl::~Impl() {
  stop();
  for (CURL* easy : spareEasy_) curl::api().easy_cleanup(easy);
  if (CURLM* multi = multi_.load()) curl::api().multi_cleanup(multi);
}

void HttpEngine::Impl::wake() {
  if (CURLM* multi = multi_.load()) curl::api().multi_wakeup(multi);
}

bool HttpEngine::Impl::submit(std::unique_ptr<Transfer> transfer) {
  {
    MutexLock lock(mutex_);
    if (stopping_) return false;
    incoming_.push_back(std::move(transfer));
  }
  wake();
  return true;
}

void HttpEngine::Impl::cancel(std::uint64_t taskId) {
  {
    MutexLock lock(mutex_);
    if (stopping_) return;
    cancels_.push_back(taskId);
  }
  wake();
}

void HttpEngine::Impl::stop() {
  {
    MutexLock lock(mutex_);
    if (stopped_) return;
    stopping_ = stopped_ = true;
  }
  wake();
  if (thread_.joinable()) thread_.join();
}

void HttpEngine::Impl::run() {
  CURLM* const multi = initMulti();
  VANDREL_CHECK(multi != nullptr, "curl_multi_init failed");
  // Published before the queues are first read: a submit that found no
  // handle to wake queued its transfer before that read, any later one
  // wakes the poll.
  multi_.store(multi);
  for (;;) {
    std::vector<std::unique_ptr<Transfer>> adds;
    std::vector<std::uint64_t> drops;
    bool stopping = false;
    {
      MutexLock lock(mutex_);
      adds.swap(incoming_);
      drops.swap(cancels_);
      stopping = stopping_;
    }
    if (stopping) {
      cancelEverything(std::move(adds));
      return;
    }
    for (auto& t : adds) begin(std::move(t));
    for (auto id : drops) drop(id);
    int running = 0;
    curl::api().multi_perform(multi, &running);
    collectFinished();
    expire();
    curl::api().multi_poll(multi, nullptr, 0, nextWaitMs(), nullptr);
  }
}

void HttpEngine::Impl::begin(std::unique_ptr<Transfer> transfer) {
  if (transfer->task().isSettled()) return;  // cancelled before it started
  if (!spareEasy_.empty()) {
    transfer->adoptEasy(spareEasy_.back());
    spareEasy_.pop_back();
  }
  start(std::move(transfer));
}

// Prepares the current hop and hands it to curl, or completes the task
// with the error that stopped it.
void HttpEngine::Impl::start(std::unique_ptr<Transfer> transfer) {
  if (auto error = transfer->prepare()) {
    transfer->task().settle(errorResponse(transfer->task().url, *error));
    retire(std::move(transfer));
    return;
  }
  if (curl::api().multi_add_handle(multi_.load(), transfer->easy()) != CURLM_OK) {
    transfer->task().settle(errorResponse(transfer->task().url, UrlError::Unknown));
    retire(std::move(transfer));
    return;
  }
  auto id = transfer->id();
  active_[id] = std::move(transfer);
}

void HttpEngine::Impl::drop(std::uint64_t taskId) {
  auto it = active_.find(taskId);
  if (it == active_.end()) return;  // finished, or never started
  auto transfer = std::move(it->second);
  active_.erase(it);
  curl::api().multi_remove_handle(multi_.load(), transfer->easy());
  retire(std::move(transfer));
}

void HttpEngine::Impl::retire(std::unique_ptr<Transfer> transfer) {
  constexpr std::size_t kMaxSpare = 16;
  if (spareEasy_.size() >= kMaxSpare) return;  // its destructor frees the handle
  if (CURL* easy = transfer->releaseEasy()) spareEasy_.push_back(easy);
}

void HttpEngine::Impl::collectFinished() {
  int left = 0;
  while (CURLMsg* msg = curl::api().multi_info_read(multi_.load(), &left)) {
    if (msg->msg != CURLMSG_DONE) continue;
    Transfer* raw = nullptr;
    curl::api().easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &raw);
    CURLcode result = msg->data.result;
    curl::api().multi_remove_handle(multi_.load(), msg->easy_handle);
    auto it = active_.find(raw->id());
    std::unique_ptr<Transfer> transfer = std::move(it->second);
    active_.erase(it);
    if (transfer->finishHop(result)) {
      if (transfer->task().isSettled()) {
        retire(std::move(transfer));
      } else {
        start(std::move(transfer));
      }
      continue;
    }
    transfer->task().settle(transfer->takeResponse());
    retire(std::move(transfer));
  }
}

void HttpEngine::Impl::expire() {
  auto now = std::chrono::steady_clock::now();
  for (auto it = active_.begin(); it != active_.end();) {
    if (now < it->second->deadline()) {
      ++it;
      continue;
    }
    auto transfer = std::move(it->second);
    it = active_.erase(it);
    curl::api().multi_remove_handle(multi_.load(), transfer->easy());
    transfer->task().settle(errorResponse(transfer->task().url, UrlError::TimedOut));
    retire(std::move(transfer));
  }
}

int HttpEngine::Impl::nextWaitMs() const {
  long curlMs = -1;
  curl::api().multi_timeout(multi_.load(), &curlMs);
  long wait = curlMs < 0 ? 60'000 : curlMs;
  auto now = std::chrono::steady_clock::now();
  for (const auto& [id, t] : active_) {
    auto until = std::chrono::ceil<std::chrono::milliseconds>(t->deadline() - now).count();
    wait = std::min<long>(wait, std::max<long>(until, 0));
  }
  return static_cast<int>(std::clamp<long>(wait, 0, INT_MAX));
}

void HttpEngine::Impl::cancelEverything(std::vector<std::unique_ptr<Transfer>> pending) {
  for (auto& [id, t] : active_) {
    curl::api().multi_remove_handle(multi_.load(), t->easy());
    t->task().settle(cancelledResponse(t->task().url));
  }
  active_.clear();
  for (auto& t : pending) t->task().settle(cancelledResponse(t->task().url));
}

}  // namespace vandrel::platform

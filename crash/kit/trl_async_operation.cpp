#include "crash/kit/trl_async_operation.h"

#include <algorithm>
#include <utility>

#include "platform/check.h"

namespace vandrel::crash {

using platform::MutexLock;

// ---- Operation -------------------------------------------------------------

Operation::Operation() = default;
Operation::~Operation() = default;

void Operation::start() {
  bool run = false;
  {
    MutexLock lock(mutex_);
    if (finished_ || executing_) return;
    if (!cancelled_.load()) {
      executing_ = true;
      run = true;
    } else {
      finished_ = true;
    }
  }
  if (!run) {
    willChangeValueForKey(kIsFinishedKey);
    didChangeValueForKey(kIsFinishedKey);
    return;
  }
  willChangeValueForKey(kIsExecutingKey);
  didChangeValueForKey(kIsExecutingKey);
  main();
  {
    MutexLock lock(mutex_);
    executing_ = false;
    finished_ = true;
  }
  willChangeValueForKey(kIsExecutingKey);
  didChangeValueForKey(kIsExecutingKey);
  willChangeValueForKey(kIsFinishedKey);
  didChangeValueForKey(kIsFinishedKey);
}

void Operation::cancel() {
  if (cancelled_.exchange(true)) return;
  willChangeValueForKey(kIsCancelledKey);
  didChangeValueForKey(kIsCancelledKey);
}

bool Operation::isExecuting() const {
  MutexLock lock(mutex_);
  return executing_;
}

bool Operation::isFinished() const {
  MutexLock lock(mutex_);
  return finished_;
}

void Operation::setCompletionBlock(std::function<void()> block) {
  MutexLock lock(mutex_);
  completionBlock_ = std::move(block);
}

std::function<void()> Operation::completionBlock() const {
  MutexLock lock(mutex_);
  return completionBlock_;
}

void Operation::setName(std::string name) {
  MutexLock lock(mutex_);
  name_ = std::move(name);
}

std::string Operation::name() const {
  MutexLock lock(mutex_);
  return name_;
}

Operation::ObserverId Operation::addObserver(StateObserver observer) {
  MutexLock lock(mutex_);
  ObserverId id = nextObserverId_++;
  observers_.emplace_back(id, std::make_shared<StateObserver>(std::move(observer)));
  return id;
}

void Operation::removeObserver(ObserverId id) {
  MutexLock lock(mutex_);
  std::erase_if(observers_, [id](const auto& entry) { return entry.first == id; });
}

void Operation::willChangeValueForKey(std::string_view key) {
  notifyObservers(key, ChangePhase::Will);
}

void Operation::didChangeValueForKey(std::string_view key) {
  notifyObservers(key, ChangePhase::Did);
  if (key == kIsFinishedKey && isFinished()) handleFinished();
}

void Operation::notifyObservers(std::string_view key, ChangePhase phase) {
  std::vector<std::shared_ptr<StateObserver>> observers;
  {
    MutexLock lock(mutex_);
    for (const auto& entry : observers_) observers.push_back(entry.second);
  }
  for (const auto& observer : observers) (*observer)(key, phase);
}

// ---- OperationQueue --------------------------------------------------------

struct OperationQueueState {
  struct Entry {
    std::shared_ptr<Operation> operation;
    bool started = false;
  };

  platform::Mutex mutex;
  std::condition_variable cv;
  std::vector<Entry> entries VANDREL_GUARDED_BY(mutex);  // unfinished, in order added
  std::size_t running VANDREL_GUARDED_BY(mutex) = 0;
  int maxConcurrent VANDREL_GUARDED_BY(mutex) = OperationQueue::kNoLimit;

  // Starts as many waiting operations as the limit allows.
  void pump() {
    std::vector<std::shared_ptr<Operation>> toStart;
    {
      MutexLock lock(mutex);
      for (auto& entry : entries) {
        if (maxConcurrent >= 0 && running >= static_cast<std::size_t>(maxConcurrent)) break;
        if (entry.started) continue;
        entry.started = true;
        ++running;
        toStart.push_back(entry.operation);
      }
    }
    for (auto& operation : toStart) {
      platform::globalQueue().async([operation] { operation->start(); });
    }
  }

  void operationFinished(const Operation* operation) {
    bool removed = false;
    {
      MutexLock lock(mutex);
      auto it = std::find_if(entries.begin(), entries.end(),
                             [operation](const Entry& e) { return e.operation.get() == operation; });
      if (it != entries.end()) {
        if (it->started) --running;
        entries.erase(it);
        removed = true;
      }
    }
    if (!removed) return;
    cv.notify_all();
    pump();
  }
};

void Operation::handleFinished() {
  if (finishHandled_.exchange(true)) return;
  std::function<void()> completion;
  std::shared_ptr<OperationQueueState> queue;
  {
    MutexLock lock(mutex_);
    // Released here: the block and the queue may hold this operation.
    completion = std::move(completionBlock_);
    completionBlock_ = nullptr;
    queue = std::move(queue_);
  }
  if (completion) completion();
  if (queue) queue->operationFinished(this);
}

OperationQueue::OperationQueue(std::string name)
    : name_(std::move(name)), state_(std::make_shared<OperationQueueState>()) {}

OperationQueue::~OperationQueue() = default;

void OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
  VANDREL_CHECK(operation != nullptr, "adding no operation to a queue");
  VANDREL_CHECK(!operation->isFinished() && !operation->isExecuting(),
                "adding a finished or executing operation to a queue");
  {
    MutexLock lock(operation->mutex_);
    VANDREL_CHECK(operation->queue_ == nullptr && !operation->finishHandled_.load(),
                  "adding an operation to a queue twice");
    operation->queue_ = state_;
  }
  {
    MutexLock lock(state_->mutex);
    state_->entries.push_back({operation, false});
  }
  // It may have been finished by another thread meanwhile, with nobody left
  // to take it out again.
  if (operation->isFinished()) state_->operationFinished(operation.get());
  state_->pump();
}

void OperationQueue::addOperations(const std::vector<std::shared_ptr<Operation>>& operations) {
  for (const auto& operation : operations) addOperation(operation);
}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
  {
    MutexLock lock(state_->mutex);
    state_->maxConcurrent = count < 0 ? kNoLimit : count;
  }
  state_->pump();
}

int OperationQueue::maxConcurrentOperationCount() const {
  MutexLock lock(state_->mutex);
  return state_->maxConcurrent;
}

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const {
  MutexLock lock(state_->mutex);
  std::vector<std::shared_ptr<Operation>> result;
  for (const auto& entry : state_->entries) result.push_back(entry.operation);
  return result;
}

std::size_t OperationQueue::operationCount() const {
  MutexLock lock(state_->mutex);
  return state_->entries.size();
}

void OperationQueue::cancelAllOperations() {
  for (const auto& operation : operations()) operation->cancel();
}

bool OperationQueue::waitUntilAllOperationsAreFinished(platform::Duration timeout) {
  VANDREL_CHECK(!platform::mainQueue().isMainThread(),
                "waiting for an operation queue on the main thread");
  MutexLock lock(state_->mutex);
  return state_->cv.wait_for(lock.native(), timeout,
                             [this]() VANDREL_NO_THREAD_SAFETY_ANALYSIS {
                               return state_->entries.empty();
                             });
}

// ---- TRLAsyncOperation -----------------------------------------------------

bool TRLAsyncOperation::isExecuting() const {
  MutexLock lock(lock_);
  return internalExecuting_;
}

bool TRLAsyncOperation::isFinished() const {
  MutexLock lock(lock_);
  return internalFinished_;
}

void TRLAsyncOperation::start() {
  if (checkForCancellation()) return;
  markStarted();
  main();
}

bool TRLAsyncOperation::checkForCancellation() {
  if (!isCancelled()) return false;
  markDone();
  return true;
}

void TRLAsyncOperation::markStarted() {
  {
    MutexLock lock(lock_);
    if (internalExecuting_ || internalFinished_) return;
    internalExecuting_ = true;
  }
  changeValueForKey(kIsExecutingKey, [] {});
}

void TRLAsyncOperation::markDone() {
  bool wasExecuting = false;
  {
    MutexLock lock(lock_);
    if (internalFinished_) return;
    wasExecuting = internalExecuting_;
    internalExecuting_ = false;
    internalFinished_ = true;
  }
  if (wasExecuting) changeValueForKey(kIsExecutingKey, [] {});
  changeValueForKey(kIsFinishedKey, [] {});
}

void TRLAsyncOperation::finishWithError(const std::optional<KitError>& error) {
  AsyncCompletion completion;
  {
    MutexLock lock(lock_);
    if (completionReported_ || internalFinished_) return;
    completionReported_ = true;
    completion = asyncCompletion_;
  }
  if (completion) completion(error);
  markDone();
}

void TRLAsyncOperation::setAsyncCompletion(AsyncCompletion completion) {
  MutexLock lock(lock_);
  asyncCompletion_ = std::move(completion);
}

TRLAsyncOperation::AsyncCompletion TRLAsyncOperation::asyncCompletion() const {
  MutexLock lock(lock_);
  return asyncCompletion_;
}

std::string TRLAsyncOperation::lockName() const {
  return "com.kestrel." + std::string(className()) + "-lock";
}

void TRLAsyncOperation::changeValueForKey(std::string_view key,
                                          const std::function<void()>& block) {
  willChangeValueForKey(key);
  block();
  didChangeValueForKey(key);
}

}  // namespace vandrel::crash

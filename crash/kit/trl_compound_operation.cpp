#include "crash/kit/trl_compound_operation.h"

#include <utility>

#include "platform/check.h"

namespace vandrel::crash {

using platform::MutexLock;

namespace {

// A sub-operation may finish from inside a job of the counting queue (a
// kept completion that cancels or finishes another): run in place there
// instead of dead-locking on ourselves.
void runOn(platform::SerialQueue& queue, const platform::Job& job) {
  if (queue.isCurrent()) {
    job();
  } else {
    queue.sync(job);
  }
}

}  // namespace

TRLCompoundOperation::TRLCompoundOperation()
    : countingQueue_(
          std::make_shared<platform::SerialQueue>(std::string(kTRLCompoundOperationCountingQueueLabel))) {}

TRLCompoundOperation::~TRLCompoundOperation() = default;

void TRLCompoundOperation::setOperations(std::vector<std::shared_ptr<TRLAsyncOperation>> operations) {
  MutexLock lock(mutex_);
  VANDREL_CHECK(!handedOver_, "sub-operations set after the compound started");
  operations_ = std::move(operations);
}

std::vector<std::shared_ptr<TRLAsyncOperation>> TRLCompoundOperation::operations() const {
  MutexLock lock(mutex_);
  return operations_;
}

std::uint64_t TRLCompoundOperation::completedOperations() const {
  MutexLock lock(mutex_);
  return completedOperations_;
}

std::vector<KitError> TRLCompoundOperation::errors() const {
  MutexLock lock(mutex_);
  return errors_;
}

KitError TRLCompoundOperation::cancelledError(std::string_view operationName) {
  KitError error;
  error.domain = std::string(kTRLCompoundOperationErrorDomain);
  error.code = kTRLCompoundOperationCancelledCode;
  error.localizedDescription = std::string(operationName) + " cancelled";
  return error;
}

KitError TRLCompoundOperation::subOperationsFailedError(std::vector<KitError> errors) {
  KitError error;
  error.domain = std::string(kTRLCompoundOperationErrorDomain);
  error.code = kTRLCompoundOperationSubOperationsFailedCode;
  error.localizedDescription = "sub-operations failed";
  error.underlyingErrors = std::move(errors);
  return error;
}

std::shared_ptr<TRLCompoundOperation> TRLCompoundOperation::self() {
  auto strong = weak_from_this().lock();
  VANDREL_CHECK(strong != nullptr, "a compound operation must be held by a shared_ptr");
  return std::static_pointer_cast<TRLCompoundOperation>(strong);
}

void TRLCompoundOperation::onCountingQueue(const platform::Job& job) {
  runOn(*countingQueue_, job);
}

void TRLCompoundOperation::main() {
  std::vector<std::shared_ptr<TRLAsyncOperation>> operations;
  bool takenByCancel = false;
  {
    MutexLock lock(mutex_);
    takenByCancel = handedOver_;
    if (!takenByCancel) {
      handedOver_ = true;
      operations = operations_;
    }
  }
  if (takenByCancel) {
    // Cancelled while starting: the sub-operations already went to the
    // queue unwrapped, so end as a compound cancelled before start does.
    markDone();
    return;
  }
  if (operations.empty()) {
    onCountingQueue([this] { attemptCompoundCompletion(); });
    return;
  }
  for (const auto& operation : operations) {
    injectCompoundAsyncCompletionInOperation(operation);
    injectCompoundSyncCompletionInOperation(operation);
    compoundQueue_.addOperation(operation);
  }
}

void TRLCompoundOperation::injectCompoundAsyncCompletionInOperation(
    const std::shared_ptr<TRLAsyncOperation>& operation) {
  std::weak_ptr<TRLCompoundOperation> weak = self();
  AsyncCompletion kept = operation->asyncCompletion();
  std::shared_ptr<platform::SerialQueue> counting = countingQueue_;
  operation->setAsyncCompletion([weak, kept, counting](const std::optional<KitError>& error) {
    if (kept) runOn(*counting, [&] { kept(error); });
    if (auto compound = weak.lock()) compound->updateCompletionCountsWithError(error);
  });
}

void TRLCompoundOperation::injectCompoundSyncCompletionInOperation(
    const std::shared_ptr<TRLAsyncOperation>& operation) {
  std::weak_ptr<TRLCompoundOperation> weak = self();
  std::function<void()> kept = operation->completionBlock();
  std::shared_ptr<platform::SerialQueue> counting = countingQueue_;
  operation->setCompletionBlock([weak, kept, counting] {
    if (kept) runOn(*counting, kept);
    if (auto compound = weak.lock()) {
      runOn(*counting, [&] {
        compound->noteCompletionBlockRan();
        compound->attemptCompoundCompletion();
      });
    }
  });
}

void TRLCompoundOperation::updateCompletionCountsWithError(const std::optional<KitError>& error) {
  onCountingQueue([this, &error] {
    MutexLock lock(mutex_);
    if (error) {
      errors_.push_back(*error);
    } else {
      ++completedOperations_;
    }
  });
}

void TRLCompoundOperation::noteCompletionBlockRan() {
  MutexLock lock(mutex_);
  ++completionBlocksRun_;
}

void TRLCompoundOperation::attemptCompoundCompletion() {
  countingQueue_->assertCurrent("TRLCompoundOperation::attemptCompoundCompletion");
  if (isCancelled()) {
    std::string operationName = name();
    if (operationName.empty()) operationName = std::string(className());
    finishWithError(cancelledError(operationName));
    setAsyncCompletion(nullptr);
    return;
  }
  std::optional<KitError> result;
  {
    MutexLock lock(mutex_);
    if (completedOperations_ + errors_.size() != operations_.size()) return;
    if (completionBlocksRun_ < operations_.size()) return;
    if (!errors_.empty()) result = subOperationsFailedError(errors_);
  }
  finishWithError(result);
}

bool TRLCompoundOperation::allSubOperationsFinished() const {
  for (const auto& operation : operations()) {
    if (!operation->isFinished()) return false;
  }
  return true;
}

void TRLCompoundOperation::cancel() {
  bool wasRunning = false;
  bool alreadyCancelled = false;
  std::vector<std::shared_ptr<TRLAsyncOperation>> operations;
  {
    MutexLock lock(mutex_);
    wasRunning = handedOver_;
    alreadyCancelled = cancelledBeforeStart_;
    if (!handedOver_) cancelledBeforeStart_ = true;
    handedOver_ = true;
    operations = operations_;
  }
  if (alreadyCancelled) return;
  if (!wasRunning) {
    // Handed to the queue so that each ends through its own cancellation
    // check and its completion block runs.
    for (const auto& operation : operations) operation->cancel();
    for (const auto& operation : operations) compoundQueue_.addOperation(operation);
    Operation::cancel();
    return;
  }
  compoundQueue_.cancelAllOperations();
  onCountingQueue([this] { attemptCompoundCompletion(); });
  Operation::cancel();
  // Sub-operations that ended between the two checks above ran their
  // completion check before the compound was marked cancelled; with all of
  // them finished nobody else would ever check again.
  onCountingQueue([this] {
    if (allSubOperationsFinished()) attemptCompoundCompletion();
  });
}

}  // namespace vandrel::crash

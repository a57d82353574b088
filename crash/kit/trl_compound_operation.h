#pragma once

// An asynchronous operation that runs a list of asynchronous sub-operations
// on its own queue and finishes once every one of them has reported,
// collecting their errors.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crash/kit/trl_async_operation.h"

namespace vandrel::crash {

inline constexpr std::string_view kTRLCompoundOperationErrorDomain =
    "com.kestrel.TRLCompoundOperation.error";
inline constexpr std::string_view kTRLCompoundOperationUnderlyingErrorsKey =
    "com.kestrel.TRLCompoundOperation.error.user-info-key.underlying-errors";
inline constexpr std::string_view kTRLCompoundOperationCountingQueueLabel =
    "com.kestrel.TRLCompoundOperation.dispatch-queue.counting-queue";
// The 32-bit patterns of -2 and -3 read as unsigned, as stored reports and
// callers compare them.
inline constexpr std::int64_t kTRLCompoundOperationCancelledCode = 4294967294;
inline constexpr std::int64_t kTRLCompoundOperationSubOperationsFailedCode = 4294967293;

// Queues: sub-operations run on `compoundQueue`; counting, the error list
// and the completion check only on the serial counting queue.
class TRLCompoundOperation : public TRLAsyncOperation {
 public:
  TRLCompoundOperation();
  ~TRLCompoundOperation() override;

  std::string_view className() const override { return "TRLCompoundOperation"; }

  // Set before the compound starts.
  void setOperations(std::vector<std::shared_ptr<TRLAsyncOperation>> operations);
  std::vector<std::shared_ptr<TRLAsyncOperation>> operations() const;

  // Wraps every sub-operation's completions and hands them to the compound
  // queue; returns at once. With no sub-operations the compound finishes
  // at once without error.
  void main() override;
  void cancel() override;

  OperationQueue& compoundQueue() { return compoundQueue_; }
  std::uint64_t completedOperations() const;
  std::vector<KitError> errors() const;

  // The errors the compound reports.
  static KitError cancelledError(std::string_view operationName);
  static KitError subOperationsFailedError(std::vector<KitError> errors);

 protected:
  void injectCompoundAsyncCompletionInOperation(const std::shared_ptr<TRLAsyncOperation>& operation);
  void injectCompoundSyncCompletionInOperation(const std::shared_ptr<TRLAsyncOperation>& operation);
  void updateCompletionCountsWithError(const std::optional<KitError>& error);
  // Only on the counting queue.
  void attemptCompoundCompletion();
  void noteCompletionBlockRan();

 private:
  std::shared_ptr<TRLCompoundOperation> self();
  // Runs `job` on the counting queue and waits; in place when already there.
  void onCountingQueue(const platform::Job& job);
  bool allSubOperationsFinished() const;

  OperationQueue compoundQueue_;
  std::shared_ptr<platform::SerialQueue> countingQueue_;

  mutable platform::Mutex mutex_;
  std::vector<std::shared_ptr<TRLAsyncOperation>> operations_ VANDREL_GUARDED_BY(mutex_);
  // Set once the sub-operations went to the compound queue, by `main` or
  // by a cancel before it: they must never be handed over twice.
  bool handedOver_ VANDREL_GUARDED_BY(mutex_) = false;
  // Cancelled before it ran: a later cancel must not report anything.
  bool cancelledBeforeStart_ VANDREL_GUARDED_BY(mutex_) = false;

  // Touched only on the counting queue; the mutex only lets other threads
  // read them for the accessors.
  std::uint64_t completedOperations_ VANDREL_GUARDED_BY(mutex_) = 0;
  std::vector<KitError> errors_ VANDREL_GUARDED_BY(mutex_);
  // Sub-operations whose completion block has run: the compound finishes
  // only after all of them, as its owner may rely on their side effects.
  std::uint64_t completionBlocksRun_ VANDREL_GUARDED_BY(mutex_) = 0;
};

}  // namespace vandrel::crash

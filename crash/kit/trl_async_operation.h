#pragma once

// The kit's operations: a small operation and operation-queue layer of our
// own (observable state changes, cancellation, a concurrency limit) on the
// platform's dispatch queues, and `TRLAsyncOperation`, the base of every kit
// network operation, which stays executing after `main` returns until it
// reports completion through `finishWithError`.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/result.h"
#include "platform/sync.h"
#include "platform/value.h"

namespace vandrel::crash {

// An error as the kit passes it between operations: domain, code and
// localized description, plain user-info values, and the errors it stands
// for (the compound operation's collected sub-operation errors).
struct KitError {
  std::string domain;
  std::int64_t code = 0;
  std::string localizedDescription;
  platform::Value::Dictionary userInfo;
  std::vector<KitError> underlyingErrors;

  platform::Error toError() const { return {domain, code, localizedDescription}; }
  bool operator==(const KitError&) const = default;
};

// The observable state keys, named as observers of operations expect them.
inline constexpr std::string_view kIsExecutingKey = "isExecuting";
inline constexpr std::string_view kIsFinishedKey = "isFinished";
inline constexpr std::string_view kIsCancelledKey = "isCancelled";

enum class ChangePhase { Will, Did };

class OperationQueue;
struct OperationQueueState;

// One unit of work. The default `start` runs `main` on the calling thread
// and finishes when it returns; asynchronous subclasses override `start`,
// `isExecuting` and `isFinished` and send the change notices themselves.
// Once `isFinished` has been announced, the completion block runs once and
// the owning queue lets the next operation in. Always held by shared_ptr.
// Thread-safe.
class Operation : public std::enable_shared_from_this<Operation> {
 public:
  using StateObserver = std::function<void(std::string_view key, ChangePhase phase)>;
  using ObserverId = std::uint64_t;

  Operation();
  virtual ~Operation();
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  virtual void start();
  virtual void main() {}
  // Marks the operation cancelled; what that means to running work is the
  // subclass's business. Cancelling twice announces once.
  virtual void cancel();

  bool isCancelled() const { return cancelled_.load(); }
  virtual bool isExecuting() const;
  virtual bool isFinished() const;
  virtual bool isAsynchronous() const { return false; }
  bool isConcurrent() const { return isAsynchronous(); }

  // Runs once, on the thread that announces the finish, before the owning
  // queue starts another operation.
  void setCompletionBlock(std::function<void()> block);
  std::function<void()> completionBlock() const;

  void setName(std::string name);
  std::string name() const;

  // Observers run on the thread that changes the state, never under a lock
  // of the operation. Removal waits for nothing: a notice already under
  // way may still arrive.
  ObserverId addObserver(StateObserver observer);
  void removeObserver(ObserverId id);

 protected:
  void willChangeValueForKey(std::string_view key);
  void didChangeValueForKey(std::string_view key);

 private:
  friend class OperationQueue;
  void notifyObservers(std::string_view key, ChangePhase phase);
  void handleFinished();

  std::atomic<bool> cancelled_{false};
  std::atomic<bool> finishHandled_{false};
  mutable platform::Mutex mutex_;
  bool executing_ VANDREL_GUARDED_BY(mutex_) = false;
  bool finished_ VANDREL_GUARDED_BY(mutex_) = false;
  std::string name_ VANDREL_GUARDED_BY(mutex_);
  std::function<void()> completionBlock_ VANDREL_GUARDED_BY(mutex_);
  std::vector<std::pair<ObserverId, std::shared_ptr<StateObserver>>> observers_
      VANDREL_GUARDED_BY(mutex_);
  ObserverId nextObserverId_ VANDREL_GUARDED_BY(mutex_) = 1;
  // Set while the operation belongs to a queue; keeps that queue's state
  // alive until the operation has finished.
  std::shared_ptr<OperationQueueState> queue_ VANDREL_GUARDED_BY(mutex_);
};

// Runs operations on the global queue's workers, in the order added, at
// most `maxConcurrentOperationCount` at a time (no limit by default). An
// operation stays in the queue until it announces its finish; cancelled
// operations are still started so that they can finish. Operations that are
// in the queue keep running when the queue object is destroyed. Thread-safe.
class OperationQueue {
 public:
  static constexpr int kNoLimit = -1;

  explicit OperationQueue(std::string name = {});
  ~OperationQueue();
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  // An operation belongs to one queue once: adding it again, or adding a
  // finished or executing one, is a misuse and aborts.
  void addOperation(std::shared_ptr<Operation> operation);
  void addOperations(const std::vector<std::shared_ptr<Operation>>& operations);

  void setMaxConcurrentOperationCount(int count);
  int maxConcurrentOperationCount() const;

  // The operations that have not finished yet, in the order added.
  std::vector<std::shared_ptr<Operation>> operations() const;
  std::size_t operationCount() const;
  void cancelAllOperations();
  // Blocks (never on the main thread) until the queue is empty; false when
  // `timeout` passed first.
  bool waitUntilAllOperationsAreFinished(platform::Duration timeout);

  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::shared_ptr<OperationQueueState> state_;
};

// An operation that stays executing after `main` returns, until the
// subclass calls `finishWithError`. The flags change under the operation's
// own lock; the change notices (will, then did) go out after it is
// released, so observers never run under it: executing's before finished's.
class TRLAsyncOperation : public Operation {
 public:
  using AsyncCompletion = std::function<void(const std::optional<KitError>& error)>;

  TRLAsyncOperation() = default;

  bool isAsynchronous() const override { return true; }
  bool isExecuting() const override;
  bool isFinished() const override;

  // Finishes at once when cancelled; otherwise marks executing and runs
  // `main`, which may return before the work ends.
  void start() override;

  // When cancelled: `markDone` and true; else false.
  bool checkForCancellation();
  void markStarted();
  // Executing becomes false, then finished becomes true. Finished is final:
  // later calls announce nothing.
  void markDone();
  // Calls `asyncCompletion` with the error, then `markDone`. Only the first
  // call reports: a subclass racing its own cancellation cannot complete
  // twice.
  void finishWithError(const std::optional<KitError>& error);

  void setAsyncCompletion(AsyncCompletion completion);
  AsyncCompletion asyncCompletion() const;

  // "com.kestrel.<class name>-lock".
  std::string lockName() const;
  // The concrete class's name, for the lock name and log lines.
  virtual std::string_view className() const { return "TRLAsyncOperation"; }

 protected:
  // Will-change notice for the key, the block, did-change notice.
  void changeValueForKey(std::string_view key, const std::function<void()>& block);

 private:
  mutable platform::Mutex lock_;
  bool internalExecuting_ VANDREL_GUARDED_BY(lock_) = false;
  bool internalFinished_ VANDREL_GUARDED_BY(lock_) = false;
  bool completionReported_ VANDREL_GUARDED_BY(lock_) = false;
  AsyncCompletion asyncCompletion_ VANDREL_GUARDED_BY(lock_);
};

}  // namespace vandrel::crash

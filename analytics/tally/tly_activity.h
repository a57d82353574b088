#pragma once

// A scoped process activity: elsewhere it keeps the process from being
// terminated, idled or suspended while analytics work is pending. This
// platform has no process activities, no sudden or automatic termination
// and no background tasks, so an activity is bookkeeping only: it records
// whether it is still held and touches nothing in the process.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vandrel::analytics {

// Activity options (a 64-bit bit set).
using TLYActivityOptions = std::uint64_t;
inline constexpr TLYActivityOptions kTLYActivitySuddenTerminationDisabled = 0x4000;
inline constexpr TLYActivityOptions kTLYActivityAutomaticTerminationDisabled = 0x8000;
inline constexpr TLYActivityOptions kTLYActivityBackground = 0xFF;
// Recording events.
inline constexpr TLYActivityOptions kTLYActivityOptionsRecord = 49152;
// Rotating and submitting logs.
inline constexpr TLYActivityOptions kTLYActivityOptionsSubmit = 49407;

// Begun and ended by whichever thread runs its operation; not shared.
class TLYActivity {
 public:
  static std::unique_ptr<TLYActivity> beginActivity(std::string reason, TLYActivityOptions options,
                                                    std::function<void()> expirationHandler);
  static std::unique_ptr<TLYActivity> beginActivity(std::string reason, TLYActivityOptions options);
  // Begins an activity, runs `block`, ends the activity.
  static void performActivity(std::string reason, TLYActivityOptions options,
                              const std::function<void()>& block);

  TLYActivity(std::string reason, TLYActivityOptions options);
  ~TLYActivity();  // ends
  TLYActivity(const TLYActivity&) = delete;
  TLYActivity& operator=(const TLYActivity&) = delete;

  // Idempotent.
  void end();

  // True from begin until the first end.
  bool isActive() const { return active_; }
  TLYActivityOptions options() const { return options_; }
  const std::string& reason() const { return reason_; }
  // Always 0: there are no background tasks here.
  std::int64_t backgroundTaskIdentifier() const { return 0; }
  static bool supportsBackgroundTasks() { return false; }

 private:
  std::string reason_;
  TLYActivityOptions options_;
  bool active_ = true;
};

}  // namespace vandrel::analytics

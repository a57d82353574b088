#pragma once

// The crash kit's way into the analytics kit without depending on it: the
// analytics kit registers its class methods here when the program loads,
// and the crash kit calls them when registered. Absent by default (no
// analytics kit linked in): the calls then do nothing.
//
// Thread-safe: the table is copied out under a lock and called outside it.

#include <functional>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/value.h"

namespace vandrel::crash {

struct FLTTallyHooks {
  // Starts the analytics kit with the crash kit's beta token (or none).
  std::function<void(const std::optional<std::string>& betaToken)> startWithBetaToken;
  // A custom event with its attributes (none: no attributes).
  std::function<void(const std::string& name,
                     const std::optional<platform::Value::Dictionary>& attributes)>
      logCustomEventWithName;
  // The previous session crashed at `date`. Empty: the analytics kit does
  // not answer it.
  std::function<void(platform::WallTime date)> logPreviousSessionCrashedOnDate;
};

// Replaces the process's table; an empty (default-made) table withdraws it.
void FLTRegisterTallyHooks(FLTTallyHooks hooks);
// A copy of the process's table (empty members when nothing registered).
FLTTallyHooks FLTRegisteredTallyHooks();

}  // namespace vandrel::crash

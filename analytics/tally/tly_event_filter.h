#pragma once

// Sampling of life-cycle events per install: for a given rate an install
// records all of its sampled events or none, so the server sees a fixed
// fraction of installs.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vandrel::analytics {

class TLYEvent;

// Stateless; any thread.
class TLYEventFilter {
 public:
  // True when the event must be dropped: no event; else keep for beta
  // testers and for types that are not sampled; else the install rule.
  bool shouldDiscardEvent(const TLYEvent* event, const std::optional<std::string>& betaToken,
                          const std::optional<std::string>& installationID,
                          std::int64_t factor) const;
  // "app_launched", "app_terminated", "app_memory_warning",
  // "app_entered_background", "app_entered_foreground",
  // "app_became_inactive", "app_became_active".
  bool samplingEnabledForEventType(std::string_view type) const;
  // No identifier or a factor below 2 keeps; else discards unless the hash
  // of the identifier is divisible by the factor.
  bool shouldDiscardEventWithInstallationID(const std::optional<std::string>& installationID,
                                            std::int64_t factor) const;

  // The 31-multiplier hash over the UTF-16 code units of `text` (UTF-8;
  // an invalid byte counts as one U+FFFD), wrapping modulo 2^32.
  static std::int32_t javaHashCodeForString(std::string_view text);
};

}  // namespace vandrel::analytics

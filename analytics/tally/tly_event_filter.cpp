#include "analytics/tally/tly_event_filter.h"

#include <array>
#include <cstdint>
#include <vector>

#include "analytics/tally/tly_event.h"

namespace vandrel::analytics {
namespace {

constexpr std::array<std::string_view, 7> kSampledEventTypes = {
    "app_launched",          "app_terminated",         "app_memory_warning", "app_entered_background",
    "app_entered_foreground", "app_became_inactive", "app_became_active",
};

// UTF-8 to UTF-16 code units; an invalid or cut sequence is one U+FFFD.
std::vector<std::uint16_t> utf16CodeUnits(std::string_view text) {
  std::vector<std::uint16_t> units;
  units.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    std::uint32_t cp = 0xFFFD;
    std::size_t len = 1;
    auto cont = [&](std::size_t k) {
      return i + k < text.size() && (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    };
    auto bits = [&](std::size_t k) { return static_cast<std::uint32_t>(text[i + k]) & 0x3F; };
    if (b0 < 0x80) {
      cp = b0;
    } else if (b0 >= 0xC2 && b0 < 0xE0 && cont(1)) {
      cp = ((b0 & 0x1Fu) << 6) | bits(1);
      len = 2;
    } else if (b0 >= 0xE0 && b0 < 0xF0 && cont(1) && cont(2)) {
      const std::uint32_t c = ((b0 & 0x0Fu) << 12) | (bits(1) << 6) | bits(2);
      if (c >= 0x800 && (c < 0xD800 || c > 0xDFFF)) {
        cp = c;
        len = 3;
      }
    } else if (b0 >= 0xF0 && b0 < 0xF5 && cont(1) && cont(2) && cont(3)) {
      const std::uint32_t c = ((b0 & 0x07u) << 18) | (bits(1) << 12) | (bits(2) << 6) | bits(3);
      if (c >= 0x10000 && c <= 0x10FFFF) {
        cp = c;
        len = 4;
      }
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      units.push_back(static_cast<std::uint16_t>(0xD800 + (cp >> 10)));
      units.push_back(static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      units.push_back(static_cast<std::uint16_t>(cp));
    }
    i += len;
  }
  return units;
}

}  // namespace

bool TLYEventFilter::shouldDiscardEvent(const TLYEvent* event, const std::optional<std::string>& betaToken,
                                        const std::optional<std::string>& installationID,
                                        std::int64_t factor) const {
  if (event == nullptr) return true;
  if (betaToken) return false;
  if (!samplingEnabledForEventType(event->name())) return false;
  return shouldDiscardEventWithInstallationID(installationID, factor);
}

bool TLYEventFilter::samplingEnabledForEventType(std::string_view type) const {
  for (std::string_view sampled : kSampledEventTypes) {
    if (sampled == type) return true;
  }
  return false;
}

bool TLYEventFilter::shouldDiscardEventWithInstallationID(const std::optional<std::string>& installationID,
                                                          std::int64_t factor) const {
  if (!installationID || factor < 2) return false;
  const std::int64_t hash = javaHashCodeForString(*installationID);
  // Truncating division: the remainder takes the sign of the hash.
  return hash % factor != 0;
}

std::int32_t TLYEventFilter::javaHashCodeForString(std::string_view text) {
  const std::vector<std::uint16_t> units = utf16CodeUnits(text);
  std::uint32_t h = 0;
  for (const std::uint16_t unit : units) h = h * 31u + unit;
  return static_cast<std::int32_t>(h);
}

}  // namespace vandrel::analytics

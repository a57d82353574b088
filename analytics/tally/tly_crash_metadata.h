#pragma once

// The metadata of an earlier launch as it was stored on disk: it stands as
// the metadata line of that launch's crash event, unchanged.

#include <cstdint>
#include <filesystem>
#include <optional>

#include "analytics/tally/tly_metadata.h"
#include "platform/value.h"

namespace vandrel::analytics {

// A stored metadata file larger than this is not read.
inline constexpr std::size_t kTLYMaxCrashMetadataBytes = 1024 * 1024;

// Immutable; any thread.
class TLYCrashMetadata final : public TLYMetadataRecord {
 public:
  explicit TLYCrashMetadata(platform::Value::Dictionary dictionary)
      : rawMetadataDictionary_(std::move(dictionary)) {}

  const platform::Value::Dictionary& rawMetadataDictionary() const { return rawMetadataDictionary_; }
  // The stored dictionary unchanged (its own "started_at" stays).
  std::optional<platform::Value::Dictionary> dictionaryRepresentationWithStartTime(
      std::uint64_t startTime) const override;

  // Compact JSON, replacing the file atomically (0644); true when written.
  static bool writeSerializedDictionary(const platform::Value::Dictionary& dictionary,
                                        const std::filesystem::path& url);
  // None when the file is missing, unreadable, too large, not JSON or not a
  // JSON object.
  static std::optional<platform::Value::Dictionary> readSerializedDictionaryFromURL(
      const std::filesystem::path& url);

 private:
  platform::Value::Dictionary rawMetadataDictionary_;
};

}  // namespace vandrel::analytics

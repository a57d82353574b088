#pragma once

// The utilities library's heartbeat date storage: one date per tag, kept in
// one small JSON file (tag -> seconds since 1970) under
// Application Support/Gryphon/<file name>. Thread- and process-safe: every
// call reads or rewrites the file under an advisory lock on
// "<file>.lock", so several objects (or processes) on one file agree.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace vandrel::analytics {

class GRUHeartbeatDateStorage {
 public:
  // The file `fileName` in the storage directory (see directory()).
  explicit GRUHeartbeatDateStorage(std::string_view fileName);
  // A storage on `file` itself (tests, or a file of one's own).
  explicit GRUHeartbeatDateStorage(std::filesystem::path file);

  // Application Support/Gryphon, worked out from the environment now.
  static std::filesystem::path directory();

  const std::filesystem::path& fileURL() const { return file_; }

  // The stored date of `tag`; none when absent or the file is unreadable.
  std::optional<platform::WallTime> heartbeatDateForTag(std::string_view tag) const;
  // Stores `date` for `tag`; answers whether it reached the file. A corrupt
  // file is replaced by one holding only this tag.
  bool setHearbeatDate(platform::WallTime date, std::string_view tag);

 private:
  const std::filesystem::path file_;
};

}  // namespace vandrel::analytics

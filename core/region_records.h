#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/line_item.h"
#include "platform/clock.h"
#include "platform/result.h"

namespace vandrel::core {

// One region of the service's line list. A plain value whose fields are all
// optional (coded by the rules of catalogue_records.h), except that its
// lines are shared references: a copy of a region shares its LineItem
// records with the original.
struct RegionsItem {
  std::optional<std::string> icon;
  std::optional<std::string> name;
  std::optional<std::vector<std::shared_ptr<LineItem>>> lines;
  std::optional<std::string> region;
  std::optional<std::string> iconUrl;

  // `name` when present (also when empty), else `region`, else "server-"
  // and the current time in milliseconds since 1970, rounded half away from
  // zero: computed afresh at every call.
  std::string identifier(const platform::Clock& clock = platform::SystemClock::shared()) const;

  // The ids of the lines whose `isAlive` is present and true, in order,
  // duplicates kept, -1 for such a line without an id; absent (not empty)
  // when there are none or the region has no lines.
  std::optional<std::vector<std::int64_t>> availableLineIds() const;

  static platform::Result<RegionsItem> fromJsonText(std::string_view text);
  std::string toJsonText() const;
};

// The reply of the region-list request, kept as "LinesModelCache". The two
// region lists are independent.
struct RegionsModel {
  std::optional<std::vector<RegionsItem>> regions;
  std::optional<std::string> status;
  std::optional<std::int64_t> code;
  std::optional<std::string> error;
  std::optional<std::vector<RegionsItem>> regionLines;

  static platform::Result<RegionsModel> fromJsonText(std::string_view text);
  std::string toJsonText() const;
};

}  // namespace vandrel::core

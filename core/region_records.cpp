#include "core/region_records.h"

#include <cmath>

#include "core/record_json.h"

namespace vandrel::core::record_json {

template <>
struct RecordFields<RegionsItem> {
  template <typename R, typename V>
  static void visit(R& r, V&& field) {
    field("icon", r.icon);
    field("name", r.name);
    field("lines", r.lines);
    field("region", r.region);
    field("iconUrl", r.iconUrl);
  }
};

template <>
struct RecordFields<RegionsModel> {
  template <typename R, typename V>
  static void visit(R& r, V&& field) {
    field("regions", r.regions);
    field("status", r.status);
    field("code", r.code);
    field("error", r.error);
    field("regionLines", r.regionLines);
  }
};

}  // namespace vandrel::core::record_json

namespace vandrel::core {

VANDREL_DEFINE_RECORD_JSON_TEXT(RegionsItem)
VANDREL_DEFINE_RECORD_JSON_TEXT(RegionsModel)

std::string RegionsItem::identifier(const platform::Clock& clock) const {
  if (name) return *name;
  if (region) return *region;
  // std::llround rounds halves away from zero.
  const long long millis = std::llround(clock.secondsSince1970() * 1000.0);
  return "server-" + std::to_string(millis);
}

std::optional<std::vector<std::int64_t>> RegionsItem::availableLineIds() const {
  if (!lines || lines->empty()) return std::nullopt;
  std::vector<std::int64_t> ids;
  for (const auto& line : *lines) {
    if (!line) continue;
    const LineItem::Fields fields = line->fields();
    if (fields.isAlive == true) ids.push_back(fields.id.value_or(-1));
  }
  if (ids.empty()) return std::nullopt;
  return ids;
}

}  // namespace vandrel::core

// The encrypted model cache: the input is a cache file as it lies on disk.
// Every record type the application keeps there loads from it or gives
// nothing; what loads saves and loads again unchanged; and any text saved
// comes back byte for byte, in a file exactly as long as the text.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "core/account_records.h"
#include "core/catalogue_records.h"
#include "core/goods_records.h"
#include "core/line_item.h"
#include "core/model_cache.h"
#include "core/region_records.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace core = vandrel::core;

constexpr std::string_view kEntry = "fuzzModelCache";
constexpr std::string_view kResavedEntry = "fuzzModelCacheResaved";

std::string textOf(const std::shared_ptr<core::LineItem>& line) { return line->toJsonText(); }
template <typename T>
std::string textOf(const std::optional<T>& record) {
  return record->toJsonText();
}

template <typename T>
void checkLoad(std::string_view name) {
  const auto loaded = core::loadModel<T>(kEntry);
  if (!loaded) return;
  core::saveModel(loaded, kResavedEntry);
  const auto again = core::loadModel<T>(kResavedEntry);
  VANDREL_FUZZ_CHECK(static_cast<bool>(again), std::string(name) + " saved what it cannot load");
  VANDREL_FUZZ_CHECK(textOf(again) == textOf(loaded), std::string(name) + ": " + textOf(loaded));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vandrel::fuzz::scratchHome();
  vandrel::fuzz::silenceStandardOutput();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = vandrel::fuzz::asText(data, size);
  vandrel::fuzz::writeFile(core::modelCachePath(kEntry), bytes);
  checkLoad<core::MiscInfoModel>("MiscInfoModel");
  checkLoad<core::AccountModel>("AccountModel");
  checkLoad<core::StaticDataModel>("StaticDataModel");
  checkLoad<core::UrlSourceT>("UrlSourceT");
  checkLoad<core::RuleModel>("RuleModel");
  checkLoad<core::CallCodeModel>("CallCodeModel");
  checkLoad<core::GoodsModel>("GoodsModel");
  checkLoad<core::RegionsModel>("RegionsModel");
  checkLoad<core::RegionsItem>("RegionsItem");
  checkLoad<core::LineItem>("LineItem");

  // The same bytes as the text of an entry: saved, they come back whole.
  core::model_cache_detail::saveJsonText(bytes, kResavedEntry);
  const auto path = core::modelCachePath(kResavedEntry);
  std::error_code error;
  VANDREL_FUZZ_CHECK(std::filesystem::file_size(path, error) == size && !error, path.string());
  const auto loaded = core::model_cache_detail::loadJsonText(kResavedEntry);
  VANDREL_FUZZ_CHECK(loaded && *loaded == bytes, "saved text did not load back");
  vandrel::fuzz::drainMainQueue();
  return 0;
}

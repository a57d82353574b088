#include "analytics/tally/tly_crash_metadata.h"

#include <fcntl.h>

#include <cerrno>

#include "platform/file_io.h"

namespace vandrel::analytics {

std::optional<platform::Value::Dictionary> TLYCrashMetadata::dictionaryRepresentationWithStartTime(
    std::uint64_t /*startTime*/) const {
  return rawMetadataDictionary_;
}

bool TLYCrashMetadata::writeSerializedDictionary(const platform::Value::Dictionary& dictionary,
                                                 const std::filesystem::path& url) {
  const std::optional<std::string> json = TLYCompactJSONFromDictionary(dictionary);
  if (!json) return false;
  return platform::replaceFileAtomically(url.string(), *json, 0644);
}

std::optional<platform::Value::Dictionary> TLYCrashMetadata::readSerializedDictionaryFromURL(
    const std::filesystem::path& url) {
  platform::UniqueFd fd(::open(url.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) return std::nullopt;
  std::string bytes;
  if (!platform::readAll(fd.get(), bytes, kTLYMaxCrashMetadataBytes)) return std::nullopt;
  auto parsed = platform::Value::fromJson(bytes);
  if (!parsed.ok()) return std::nullopt;
  const platform::Value::Dictionary* dictionary = parsed.value().asDictionary();
  if (dictionary == nullptr) return std::nullopt;
  return *dictionary;
}

}  // namespace vandrel::analytics

#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace vandrel::core {

// The encrypted model cache: the last known copy of a record, one file per
// entry in the "dataCache" folder of the Caches directory
// (LogUtil::cacheDirectory()).
//
// File name: the lower-case hex MD5 of the entry name's bytes followed by a
// fixed salt, no extension. Content: the record's compact JSON text
// encrypted with ChaCha20 (20 rounds, 64-bit block counter from 0, 64-bit
// nonce; one fixed key and nonce for every file), nothing else: the file is
// exactly as long as the JSON text.
//
// Both operations are synchronous, keep no state and run on the caller's
// thread. Failures are reported only as one debug line
// ("[DEBUG]: save model error: " / "[DEBUG]: decode model error: " + the
// entry name); the caller sees nothing (save) or an empty result (load).
//
// A save writes a temporary file beside the entry (its name is never 32 hex
// digits, so it can never be mistaken for an entry), flushes it to the disk
// and renames it over the entry: a crash or a failed write leaves the
// earlier entry whole.

// A record type the cache can hold: it codes itself to and from JSON text.
template <typename T>
concept CacheableModel = requires(const T& record, std::string_view text) {
  { record.toJsonText() } -> std::convertible_to<std::string>;
  { T::fromJsonText(text).ok() } -> std::convertible_to<bool>;
};

// What a load of T gives: std::optional<T> for value records,
// std::shared_ptr<E> (null for nothing) for reference records such as
// LineItem.
namespace model_cache_detail {
template <typename D>
struct Loaded {
  using type = std::optional<D>;
};
template <typename E>
struct Loaded<std::shared_ptr<E>> {
  using type = std::shared_ptr<E>;
};
}  // namespace model_cache_detail

template <CacheableModel T>
using LoadedModel = typename model_cache_detail::Loaded<
    std::remove_cvref_t<decltype(T::fromJsonText(std::string_view{}).value())>>::type;

// The file name of an entry: 32 lower-case hex digits.
std::string modelCacheFileName(std::string_view entryName);
// Fetches the digest and the cipher the cache uses, once per process. The
// first fetch sets up the crypto library (its providers and their
// algorithm tables), millions of instructions; a program that reads its
// cache while it builds its first window calls this early on another
// thread. Any thread; calls after the first return at once.
void prepareModelCache();
// LogUtil::cacheDirectory() + "/" + the file name.
std::filesystem::path modelCachePath(std::string_view entryName);

namespace model_cache_detail {
// Encrypts and writes `jsonText` as the entry; logs a failure.
void saveJsonText(std::string_view jsonText, std::string_view entryName);
// The decrypted content of the entry, or none (nothing logged).
std::optional<std::string> loadJsonText(std::string_view entryName);
// The one debug line of a failed load.
void logLoadFailure(std::string_view entryName);
}  // namespace model_cache_detail

template <CacheableModel T>
void saveModel(const T& record, std::string_view entryName) {
  model_cache_detail::saveJsonText(record.toJsonText(), entryName);
}

// An absent record is saved as the JSON literal null (it loads as nothing;
// the file is replaced, not deleted).
template <CacheableModel T>
void saveModel(const std::optional<T>& record, std::string_view entryName) {
  if (record) {
    saveModel(*record, entryName);
  } else {
    model_cache_detail::saveJsonText("null", entryName);
  }
}

template <CacheableModel T>
void saveModel(const std::shared_ptr<T>& record, std::string_view entryName) {
  if (record) {
    saveModel(*record, entryName);
  } else {
    model_cache_detail::saveJsonText("null", entryName);
  }
}

// The record stored under `entryName`, or nothing when the entry is missing,
// unreadable, or does not decode as T.
template <CacheableModel T>
LoadedModel<T> loadModel(std::string_view entryName) {
  auto text = model_cache_detail::loadJsonText(entryName);
  if (text) {
    auto decoded = T::fromJsonText(*text);
    if (decoded.ok()) return LoadedModel<T>(std::move(decoded).value());
  }
  model_cache_detail::logLoadFailure(entryName);
  return LoadedModel<T>{};
}

}  // namespace vandrel::core

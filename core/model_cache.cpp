#include "core/model_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "core/log_util.h"
#include "core/model_cache_crypto.h"
#include "platform/file_io.h"

namespace vandrel::core {
namespace {

constexpr std::string_view kFileNameSalt = "pW!38kTz";
constexpr std::string_view kCipherKey = "Qm7TzpWx2LbHv9Rk&#nYc4FsJd8GuEeA";
constexpr std::string_view kCipherNonce = "mbQzRDHV";
// Larger files are not ours: refusing them keeps a hostile file from
// exhausting memory.
constexpr std::size_t kMaxEntryBytes = 64u << 20;

static_assert(kCipherKey.size() == 32 && kCipherNonce.size() == 8);

std::optional<std::string> readFile(const std::filesystem::path& path) {
  struct stat st {};
  const platform::UniqueFd fd = platform::openRegularFile(path.c_str(), O_RDONLY | O_NOCTTY, &st);
  if (!fd || static_cast<std::uint64_t>(st.st_size) > kMaxEntryBytes) return std::nullopt;
  std::string bytes;
  if (!platform::readAll(fd.get(), bytes, kMaxEntryBytes)) return std::nullopt;
  return bytes;
}

}  // namespace

std::string modelCacheFileName(std::string_view entryName) {
  const auto digest = md5Digest(std::string(entryName) + std::string(kFileNameSalt));
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(digest.size() * 2);
  for (const std::uint8_t byte : digest) {
    hex.push_back(kHex[byte >> 4]);
    hex.push_back(kHex[byte & 0x0F]);
  }
  return hex;
}

std::filesystem::path modelCachePath(std::string_view entryName) {
  return std::filesystem::path(LogUtil::cacheDirectory()) / modelCacheFileName(entryName);
}

namespace model_cache_detail {

void saveJsonText(std::string_view jsonText, std::string_view entryName) {
  const std::string encrypted = chacha20Xor(jsonText, kCipherKey, kCipherNonce);
  const std::string fileName = modelCacheFileName(entryName);
  // Saved from the connect road and the GUI thread: the new file is on the
  // disk whole before it replaces the old one, but the folder is not
  // flushed after it. A power cut right after a save may bring back the
  // copy before it, never a file that loads as nothing.
  if (!platform::replaceFileAtomically(std::filesystem::path(LogUtil::cacheDirectory()) / fileName,
                                       encrypted, 0600, platform::Durability::ContentFlushed)) {
    LogUtil::logLine(
        4, std::string(LogUtil::kDebugTag) + "save model error: " + std::string(entryName));
  }
}

std::optional<std::string> loadJsonText(std::string_view entryName) {
  const std::string fileName = modelCacheFileName(entryName);
  if (fileName.empty()) return std::nullopt;
  const auto bytes = readFile(std::filesystem::path(LogUtil::cacheDirectory()) / fileName);
  if (!bytes) return std::nullopt;
  return chacha20Xor(*bytes, kCipherKey, kCipherNonce);
}

void logLoadFailure(std::string_view entryName) {
  LogUtil::logLine(
      4, std::string(LogUtil::kDebugTag) + "decode model error: " + std::string(entryName));
}

}  // namespace model_cache_detail

}  // namespace vandrel::core

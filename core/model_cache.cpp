#include "core/model_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "core/log_util.h"
#include "platform/file_io.h"

namespace vandrel::core {
namespace {

constexpr std::string_view kFileNameSalt = "pW!38kTz";
constexpr std::string_view kCipherKey = "Qm7TzpWx2LbHv9Rk&#nYc4FsJd8GuEeA";
constexpr std::string_view kCipherNonce = "mbQzRDHV";
// Larger files are not ours: refusing them keeps a hostile file from
// exhausting memory.
constexpr std::size_t kMaxEntryBytes = 64u << 20;
constexpr std::size_t kCipherChunk = 1u << 20;

static_assert(kCipherKey.size() == 32 && kCipherNonce.size() == 8);

// Fetched once and kept: the library's implicit fetch on every call (the
// legacy EVP_md5() and EVP_chacha20() objects) costs more than the digest
// or the cipher of a small entry, and a start reads a dozen entries on the
// GUI thread. Null when the library has no such algorithm.
const EVP_MD* md5() {
  static EVP_MD* const md = EVP_MD_fetch(nullptr, "MD5", nullptr);
  return md;
}
const EVP_CIPHER* chacha20Cipher() {
  static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "ChaCha20", nullptr);
  return cipher;
}

struct CipherContextDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

// ChaCha20 with a 64-bit counter from 0 and a 64-bit nonce. The library's
// 16-byte IV fills state words 12 to 15 in order; words 12 and 13 are the
// counter (zero) and words 14 and 15 the nonce. XOR: the same call
// encrypts and decrypts.
std::optional<std::string> chacha20(std::string_view input) {
  std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter> ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return std::nullopt;
  std::array<unsigned char, 16> iv{};
  std::copy(kCipherNonce.begin(), kCipherNonce.end(), iv.begin() + 8);
  const auto* key = reinterpret_cast<const unsigned char*>(kCipherKey.data());
  if (chacha20Cipher() == nullptr ||
      EVP_EncryptInit_ex(ctx.get(), chacha20Cipher(), nullptr, key, iv.data()) != 1) {
    return std::nullopt;
  }
  std::string output(input.size(), '\0');
  std::size_t done = 0;
  while (done < input.size()) {
    const std::size_t chunk = std::min(kCipherChunk, input.size() - done);
    int written = 0;
    if (EVP_EncryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(output.data() + done),
                          &written, reinterpret_cast<const unsigned char*>(input.data() + done),
                          static_cast<int>(chunk)) != 1 ||
        static_cast<std::size_t>(written) != chunk) {
      return std::nullopt;
    }
    done += chunk;
  }
  return output;
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
  struct stat st {};
  const platform::UniqueFd fd = platform::openRegularFile(path.c_str(), O_RDONLY | O_NOCTTY, &st);
  if (!fd || static_cast<std::uint64_t>(st.st_size) > kMaxEntryBytes) return std::nullopt;
  std::string bytes;
  if (!platform::readAll(fd.get(), bytes, kMaxEntryBytes)) return std::nullopt;
  return bytes;
}

}  // namespace

void prepareModelCache() {
  md5();
  chacha20Cipher();
}

std::string modelCacheFileName(std::string_view entryName) {
  const std::string input = std::string(entryName) + std::string(kFileNameSalt);
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (md5() == nullptr ||
      EVP_Digest(input.data(), input.size(), digest.data(), &length, md5(), nullptr) != 1) {
    return {};
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0x0F]);
  }
  return hex;
}

std::filesystem::path modelCachePath(std::string_view entryName) {
  return std::filesystem::path(LogUtil::cacheDirectory()) / modelCacheFileName(entryName);
}

namespace model_cache_detail {

void saveJsonText(std::string_view jsonText, std::string_view entryName) {
  const auto encrypted = chacha20(jsonText);
  const std::string fileName = modelCacheFileName(entryName);
  // Saved from the connect road and the GUI thread: the new file is on the
  // disk whole before it replaces the old one, but the folder is not
  // flushed after it. A power cut right after a save may bring back the
  // copy before it, never a file that loads as nothing.
  if (!encrypted || fileName.empty() ||
      !platform::replaceFileAtomically(std::filesystem::path(LogUtil::cacheDirectory()) / fileName,
                                       *encrypted, 0600, platform::Durability::ContentFlushed)) {
    LogUtil::logLine(4, std::string(LogUtil::kDebugTag) + "save model error: " +
                            std::string(entryName));
  }
}

std::optional<std::string> loadJsonText(std::string_view entryName) {
  const std::string fileName = modelCacheFileName(entryName);
  if (fileName.empty()) return std::nullopt;
  const auto bytes = readFile(std::filesystem::path(LogUtil::cacheDirectory()) / fileName);
  if (!bytes) return std::nullopt;
  return chacha20(*bytes);
}

void logLoadFailure(std::string_view entryName) {
  LogUtil::logLine(4, std::string(LogUtil::kDebugTag) + "decode model error: " +
                          std::string(entryName));
}

}  // namespace model_cache_detail

}  // namespace vandrel::core

// The cache's MD5 and ChaCha20 against the published test values and the
// TLS library's implementations of the same algorithms, over every length
// around the block edges (55/56/64 bytes for MD5's padding, 64 for a
// ChaCha20 block) and across many blocks.

#include "core/model_cache_crypto.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <string>

namespace vandrel::core {
namespace {

std::string hex(const std::array<std::uint8_t, 16>& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const std::uint8_t b : digest) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0x0F]);
  }
  return out;
}

std::string libraryMd5(const std::string& bytes) {
  std::array<std::uint8_t, 16> digest{};
  unsigned int length = 0;
  EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_md5(), nullptr), 1);
  return hex(digest);
}

// The library's 16-byte IV: the 64-bit counter (0), then the 64-bit nonce.
std::string libraryChaCha20(const std::string& bytes, const std::string& key,
                            const std::string& nonce) {
  std::array<unsigned char, 16> iv{};
  std::copy(nonce.begin(), nonce.end(), iv.begin() + 8);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EXPECT_EQ(EVP_EncryptInit_ex(ctx, EVP_chacha20(), nullptr,
                               reinterpret_cast<const unsigned char*>(key.data()), iv.data()),
            1);
  std::string out(bytes.size(), '\0');
  int written = 0;
  EXPECT_EQ(EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &written,
                              reinterpret_cast<const unsigned char*>(bytes.data()),
                              static_cast<int>(bytes.size())),
            1);
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

std::string pattern(std::size_t length) {
  std::string bytes(length, '\0');
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 131 + 7) & 0xFF);
  return bytes;
}

TEST(ModelCacheCryptoTest, Md5GivesThePublishedDigests) {
  const struct {
    const char* input;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(hex(md5Digest(c.input)), c.digest);
  }
}

TEST(ModelCacheCryptoTest, BothAgreeWithTheLibraryAtEveryLengthAroundTheBlockEdges) {
  const std::string key = "Qm7TzpWx2LbHv9Rk&#nYc4FsJd8GuEeA";
  const std::string nonce = "mbQzRDHV";
  for (std::size_t length = 0; length <= 300; ++length) {
    SCOPED_TRACE(length);
    const std::string bytes = pattern(length);
    ASSERT_EQ(hex(md5Digest(bytes)), libraryMd5(bytes));
    const std::string encrypted = chacha20Xor(bytes, key, nonce);
    ASSERT_EQ(encrypted, libraryChaCha20(bytes, key, nonce));
    ASSERT_EQ(chacha20Xor(encrypted, key, nonce), bytes);
  }
  const std::string large = pattern(200'003);
  EXPECT_EQ(hex(md5Digest(large)), libraryMd5(large));
  EXPECT_EQ(chacha20Xor(large, key, nonce), libraryChaCha20(large, key, nonce));
}

}  // namespace
}  // namespace vandrel::core

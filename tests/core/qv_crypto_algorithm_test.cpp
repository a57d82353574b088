#include "core/qv_crypto_algorithm.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace vandrel::core {
namespace {

TEST(QvCryptoAlgorithmTest, TextValuesRoundTrip) {
  const std::vector<std::pair<QV_CryptoAlgorithm, std::string>> table = {
      {QV_CryptoAlgorithm::AES128CFB, "AES-128-CFB"},
      {QV_CryptoAlgorithm::AES192CFB, "AES-192-CFB"},
      {QV_CryptoAlgorithm::AES256CFB, "AES-256-CFB"},
      {QV_CryptoAlgorithm::CHACHA20, "CHACHA20"},
      {QV_CryptoAlgorithm::SALSA20, "SALSA20"},
      {QV_CryptoAlgorithm::RC4MD5, "RC4-MD5"},
      {QV_CryptoAlgorithm::AES128GCM, "AES-128-GCM"},
      {QV_CryptoAlgorithm::AES192GCM, "AES-192-GCM"},
      {QV_CryptoAlgorithm::AES256GCM, "AES-256-GCM"},
      {QV_CryptoAlgorithm::CHACHA20POLY1305, "CHACHA20-IETF-POLY1305"},
  };
  std::set<std::string> names;
  for (const auto& [algorithm, name] : table) {
    EXPECT_EQ(rawValue(algorithm), name);
    EXPECT_EQ(cryptoAlgorithmFromRawValue(name), algorithm) << name;
    names.insert(name);
  }
  EXPECT_EQ(names.size(), table.size());
}

TEST(QvCryptoAlgorithmTest, OnlyExactNamesGiveAMethod) {
  for (const char* text : {"aes-128-cfb", "Aes-128-Cfb", " AES-128-CFB", "AES-128-CFB ", "AES-128",
                           "AES128CFB", "CHACHA20-POLY1305", "CHACHA20-IETF", "", "RC4"}) {
    EXPECT_EQ(cryptoAlgorithmFromRawValue(text), std::nullopt) << "'" << text << "'";
  }
  EXPECT_EQ(cryptoAlgorithmFromRawValue(std::string_view("AES-128-CFB\0", 12)), std::nullopt);
}

}  // namespace
}  // namespace vandrel::core

#include "core/qv_crypto_algorithm.h"

#include <array>
#include <utility>

namespace vandrel::core {
namespace {

constexpr std::array<std::pair<QV_CryptoAlgorithm, std::string_view>, 10> kNames = {{
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
}};

}  // namespace

std::string_view rawValue(QV_CryptoAlgorithm algorithm) {
  for (const auto& [value, name] : kNames) {
    if (value == algorithm) return name;
  }
  return {};
}

std::optional<QV_CryptoAlgorithm> cryptoAlgorithmFromRawValue(std::string_view text) {
  for (const auto& [value, name] : kNames) {
    if (name == text) return value;
  }
  return std::nullopt;
}

}  // namespace vandrel::core

#pragma once

#include <optional>
#include <string_view>

namespace vandrel::core {

// Vocabulary of stream-cipher methods, cipher directions and hash
// algorithms. No stored or sent format depends on the order of the cases.

enum class QV_CryptoOperation { encrypt, decrypt };

enum class QV_CryptoAlgorithm {
  AES128CFB,
  AES192CFB,
  AES256CFB,
  CHACHA20,
  SALSA20,
  RC4MD5,
  AES128GCM,
  AES192GCM,
  AES256GCM,
  CHACHA20POLY1305,
};

enum class QV_HashAlgorithm { MD5, SHA1, SHA224, SHA256, SHA384, SHA512 };

// The method's text name ("AES-128-CFB", ..., "CHACHA20-IETF-POLY1305").
std::string_view rawValue(QV_CryptoAlgorithm algorithm);
// Only one of the ten names exactly as written (upper case, hyphens, nothing
// around it) gives a method.
std::optional<QV_CryptoAlgorithm> cryptoAlgorithmFromRawValue(std::string_view text);

}  // namespace vandrel::core

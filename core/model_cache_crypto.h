#pragma once

// The two published algorithms the encrypted model cache is made of: MD5
// names an entry's file, ChaCha20 (64-bit counter, 64-bit nonce) hides its
// JSON. They are the cache's own rather than the TLS library's: a start
// loads the cache entries on the GUI thread before the first window, and
// the library's first use there paid its process-wide set-up (its
// configuration file, its providers): several times the work of the
// entries themselves. Neither protects a secret: the key is fixed.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vandrel::core {

std::array<std::uint8_t, 16> md5Digest(std::string_view bytes);

// XORs `bytes` with the keystream of `key` (32 bytes) and `nonce` (8
// bytes), the block counter starting at 0: encrypts and decrypts alike.
std::string chacha20Xor(std::string_view bytes, std::string_view key, std::string_view nonce);

}  // namespace vandrel::core

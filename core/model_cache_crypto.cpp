#include "core/model_cache_crypto.h"

#include <algorithm>
#include <cstring>

namespace vandrel::core {
namespace {

constexpr std::uint32_t rotl(std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

std::uint32_t loadLittle(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void storeLittle(std::uint32_t v, unsigned char* p) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// ---- MD5 (RFC 1321) -------------------------------------------------------------

constexpr std::array<std::uint32_t, 64> kSines = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
constexpr std::array<int, 16> kShifts = {7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21};

void md5Block(std::array<std::uint32_t, 4>& h, const unsigned char* block) {
  std::array<std::uint32_t, 16> m{};
  for (int i = 0; i < 16; ++i) m[i] = loadLittle(block + 4 * i);
  std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
  for (int i = 0; i < 64; ++i) {
    const int round = i / 16;
    std::uint32_t f = 0;
    int g = 0;
    switch (round) {
      case 0:
        f = (b & c) | (~b & d);
        g = i;
        break;
      case 1:
        f = (d & b) | (~d & c);
        g = (5 * i + 1) % 16;
        break;
      case 2:
        f = b ^ c ^ d;
        g = (3 * i + 5) % 16;
        break;
      default:
        f = c ^ (b | ~d);
        g = (7 * i) % 16;
        break;
    }
    const std::uint32_t rotated = rotl(a + f + kSines[i] + m[g], kShifts[round * 4 + i % 4]);
    a = d;
    d = c;
    c = b;
    b += rotated;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
}

// ---- ChaCha20 (the original 64-bit nonce layout) --------------------------------

void quarterRound(std::array<std::uint32_t, 16>& x, int a, int b, int c, int d) {
  x[a] += x[b];
  x[d] = rotl(x[d] ^ x[a], 16);
  x[c] += x[d];
  x[b] = rotl(x[b] ^ x[c], 12);
  x[a] += x[b];
  x[d] = rotl(x[d] ^ x[a], 8);
  x[c] += x[d];
  x[b] = rotl(x[b] ^ x[c], 7);
}

}  // namespace

std::array<std::uint8_t, 16> md5Digest(std::string_view bytes) {
  std::array<std::uint32_t, 4> h = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t whole = bytes.size() / 64 * 64;
  for (std::size_t at = 0; at < whole; at += 64) md5Block(h, data + at);
  // The tail, the 0x80 marker, zeros, and the length in bits: one block or two.
  std::array<unsigned char, 128> tail{};
  const std::size_t rest = bytes.size() - whole;
  if (rest > 0) std::memcpy(tail.data(), data + whole, rest);
  tail[rest] = 0x80;
  const std::size_t tailLength = rest < 56 ? 64 : 128;
  const std::uint64_t bits = static_cast<std::uint64_t>(bytes.size()) * 8;
  for (int i = 0; i < 8; ++i)
    tail[tailLength - 8 + i] = static_cast<unsigned char>(bits >> (8 * i));
  for (std::size_t at = 0; at < tailLength; at += 64) md5Block(h, tail.data() + at);
  std::array<std::uint8_t, 16> digest{};
  for (int i = 0; i < 4; ++i) storeLittle(h[i], digest.data() + 4 * i);
  return digest;
}

std::string chacha20Xor(std::string_view bytes, std::string_view key, std::string_view nonce) {
  std::array<std::uint32_t, 16> input = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  const auto* k = reinterpret_cast<const unsigned char*>(key.data());
  const auto* n = reinterpret_cast<const unsigned char*>(nonce.data());
  for (int i = 0; i < 8; ++i) input[4 + i] = loadLittle(k + 4 * i);
  input[14] = loadLittle(n);
  input[15] = loadLittle(n + 4);
  std::string out(bytes);
  std::array<unsigned char, 64> stream{};
  for (std::uint64_t block = 0; block * 64 < out.size(); ++block) {
    input[12] = static_cast<std::uint32_t>(block);
    input[13] = static_cast<std::uint32_t>(block >> 32);
    std::array<std::uint32_t, 16> x = input;
    for (int round = 0; round < 10; ++round) {
      quarterRound(x, 0, 4, 8, 12);
      quarterRound(x, 1, 5, 9, 13);
      quarterRound(x, 2, 6, 10, 14);
      quarterRound(x, 3, 7, 11, 15);
      quarterRound(x, 0, 5, 10, 15);
      quarterRound(x, 1, 6, 11, 12);
      quarterRound(x, 2, 7, 8, 13);
      quarterRound(x, 3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) storeLittle(x[i] + input[i], stream.data() + 4 * i);
    const std::size_t at = static_cast<std::size_t>(block) * 64;
    const std::size_t length = std::min<std::size_t>(64, out.size() - at);
    for (std::size_t i = 0; i < length; ++i)
      out[at + i] = static_cast<char>(out[at + i] ^ stream[i]);
  }
  return out;
}

}  // namespace vandrel::core

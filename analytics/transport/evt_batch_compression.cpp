#include "analytics/transport/evt_batch_encoder.h"

#include <zlib.h>

#include <array>

namespace vandrel::analytics {

std::optional<std::string> EVTHUBCompressionHelper::gzippedData(std::string_view data) {
  // zlib counts input in 32-bit units; a longer body would be cut silently.
  if (data.empty() || data.size() > 0xFFFFFFFFull) return std::nullopt;

  z_stream stream{};
  constexpr int kGzipWindowBits = 31;  // 15-bit window plus the gzip wrapper
  constexpr int kMemoryLevel = 8;
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, kMemoryLevel,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    return std::nullopt;
  }
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());

  std::string output;
  output.reserve(data.size() / 4);
  std::array<Bytef, 1024> chunk;
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = chunk.data();
    stream.avail_out = static_cast<uInt>(chunk.size());
    status = deflate(&stream, Z_FINISH);
    if (status != Z_OK && status != Z_STREAM_END) break;
    output.append(reinterpret_cast<const char*>(chunk.data()), chunk.size() - stream.avail_out);
  }
  // Ended on every path, so a failed run does not leak the compressor state.
  deflateEnd(&stream);
  if (status != Z_STREAM_END) return std::nullopt;
  return output;
}

bool EVTHUBCompressionHelper::isGzipped(std::string_view data) {
  return data.size() >= 2 && static_cast<unsigned char>(data[0]) == 0x1F &&
         static_cast<unsigned char>(data[1]) == 0x8B;
}

}  // namespace vandrel::analytics

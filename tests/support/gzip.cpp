#include "tests/support/gzip.h"

#include <zlib.h>

namespace vandrel::test_support {

std::optional<std::string> gunzip(std::string_view data) {
  z_stream stream{};
  // 16 + MAX_WBITS: a gzip header and trailer around the deflate data.
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  std::string out;
  char chunk[4096];
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(chunk);
    stream.avail_out = sizeof chunk;
    status = inflate(&stream, Z_NO_FLUSH);
    out.append(chunk, sizeof chunk - stream.avail_out);
  }
  inflateEnd(&stream);
  if (status != Z_STREAM_END || stream.avail_in != 0) return std::nullopt;
  return out;
}

}  // namespace vandrel::test_support
